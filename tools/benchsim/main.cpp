// benchsim: simulated bench boards on pseudo-terminals.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "replayer.h"
#include "replayplan.h"
#include "simoptions.h"
#include "simulator.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested.store(true);
}

// Plays a capture back; 0 once played out or stopped, 1 when it cannot be played.
int replay(const SimConfig& config) {
    ReplayPlan plan;
    std::string error;
    if (!ReplayPlan::load(config.replay, plan, error)) {
        std::fprintf(stderr, "benchsim: %s\n", error.c_str());
        return 1;
    }
    std::string names;
    for (const PortPlan& port : plan.ports) {
        names += (names.empty() ? "" : ", ") + port.name;
    }
    char head[160];
    std::snprintf(head, sizeof head, ": %zu boards (", plan.ports.size());
    char tail[160];
    std::snprintf(tail, sizeof tail, "), %llu frames over %.3f s, at speed %g",
                  static_cast<unsigned long long>(plan.frames()),
                  static_cast<double>(plan.endUs - plan.startUs) / 1e6, config.replaySpeed);
    std::printf("replay: %s%s%s%s\n", config.replay.c_str(), head, names.c_str(), tail);
    Replayer replayer(std::move(plan), config.dir, config.replaySpeed, config.verbose);
    if (!replayer.start(error)) {
        std::fprintf(stderr, "benchsim: %s\n", error.c_str());
        return 1;
    }
    replayer.run(stopRequested);
    replayer.shutdown();
    return 0;
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

    if (!config.replay.empty()) {
        return replay(config);
    }

    Simulator simulator(config);
    if (!simulator.start(error)) {
        std::fprintf(stderr, "benchsim: %s\n", error.c_str());
        return 1;
    }
    simulator.run(stopRequested);
    simulator.shutdown();
    return 0;
}
