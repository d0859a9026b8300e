// benchsim: simulated bench boards on pseudo-terminals.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "simoptions.h"
#include "simulator.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    std::string error;
    if (!SimOptions::parse(std::vector<std::string>(argv + 1, argv + argc), config, error)) {
        std::fprintf(stderr, "benchsim: %s\nTry 'benchsim --help'.\n", error.c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(SimOptions::usage().c_str(), stdout);
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // No SA_RESTART: the signal interrupts poll() so that the loop sees the flag at once.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Simulator simulator(config);
    if (!simulator.start(error)) {
        std::fprintf(stderr, "benchsim: %s\n", error.c_str());
        return 1;
    }
    simulator.run(stopRequested);
    simulator.shutdown();
    return 0;
}
