// End-to-end figures of the daemon on this machine: the real binary serving boards played on
// pseudo-terminals and one TCP client, beside a plain pseudo-terminal-to-TCP relay on the same
// path. Prints p50, p90, p99 and max of each latency, the total time of a burst of commands and
// the daemon's CPU time while its boards are quiet.
//
// Then the same report latency with eight observers on the monitor port against none, and
// with the daemon publishing to an MQTT broker against not, and with --capture against without,
// and with `benchctl web` serving 20 viewers against the monitor port unwatched, in alternating
// rounds on a whole simulated bench; and the page's own figures: report -> browser latency and
// benchctl web's CPU with 1 and 20 viewers. Then the cost with the bench's size: CPU, memory,
// threads, descriptors, messages and report -> client latency with 1, 8, 32 and 64 boards.
//
// With --baseline, another build of the daemon (one built from an earlier commit, say) against
// this one: report -> client latency of both in alternating rounds, side by side.
//
//   latency [--samples N] [--batches N] [--idle-seconds N] [--daemon PATH]
//           [--comparison-samples N] [--rounds N] [--comparison-only 1]
//           [--web-samples N] [--page-only 1] [--baseline PATH] [--baseline-only 1]
//           [--scale-sizes 1,8,32,64] [--scale-seconds N] [--scale-samples N] [--scale-only 1]
//   latency --relay SLAVE_PATH PORT      (the relay itself, started by the run above)
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "latency/latency.h"

using namespace latency;

namespace {

std::string machine() {
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname name{};
    ::uname(&name);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " +
           name.release;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--daemon") {
            options.daemon = argv[i + 1];
            continue;
        }
        if (flag == "--baseline") {
            options.baseline = argv[i + 1];
            if (::access(options.baseline.c_str(), X_OK) != 0) {
                throw std::runtime_error("the baseline " + options.baseline +
                                         " is not an executable");
            }
            continue;
        }
        if (flag == "--scale-sizes") {
            options.scaleSizes.clear();
            std::istringstream list(argv[i + 1]);
            std::string size;
            while (std::getline(list, size, ',')) {
                const int boards = std::atoi(size.c_str());
                if (boards <= 0) {
                    throw std::runtime_error("bad size in --scale-sizes: " + size);
                }
                options.scaleSizes.push_back(boards);
            }
            if (options.scaleSizes.empty()) {
                throw std::runtime_error("--scale-sizes needs sizes such as 1,8,32,64");
            }
            continue;
        }
        int value = std::atoi(argv[i + 1]);
        if (value <= 0) {
            throw std::runtime_error("bad value for " + flag);
        }
        if (flag == "--samples") {
            options.samples = value;
        } else if (flag == "--batches") {
            options.batches = value;
        } else if (flag == "--idle-seconds") {
            options.idleSeconds = value;
        } else if (flag == "--comparison-samples") {
            options.comparisonSamples = value;
        } else if (flag == "--rounds") {
            options.rounds = value;
        } else if (flag == "--comparison-only") {
            options.comparisonOnly = true;
        } else if (flag == "--page-only") {
            options.pageOnly = true;
        } else if (flag == "--baseline-only") {
            options.baselineOnly = true;
        } else if (flag == "--scale-only") {
            options.scaleOnly = true;
        } else if (flag == "--scale-seconds") {
            options.scaleSeconds = value;
        } else if (flag == "--scale-samples") {
            options.scaleSamples = value;
        } else if (flag == "--web-samples") {
            options.webSamples = value;
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--relay") {
        return relayMain(argv[2], static_cast<uint16_t>(std::atoi(argv[3])));
    }
    ::signal(SIGPIPE, SIG_IGN);
    try {
        Options options = parse(argc, argv);
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::printf("benchd latency: %s\n", machine().c_str());
        std::printf("daemon: %s\n", options.daemon.c_str());
        if (!options.baseline.empty()) {
            std::printf("baseline: %s\n", options.baseline.c_str());
        }
        std::printf(
            "%d samples per latency (0 to 10 ms apart), %d bursts of %d commands, "
            "%d s idle\n\n",
            options.samples, options.batches, BATCH_SIZE, options.idleSeconds);
        std::fflush(stdout);

        auto printPage = [&options](const WebFigures& web, const Comparison& page) {
            printHeader();
            printRow("report -> browser event, 1 viewer", web.toBrowser1, "");
            printRow("report -> browser event, 20 viewers", web.toBrowser20, "");
            std::printf(
                "\nbenchctl web CPU over %d s on the simulated bench: %.2f %% of one core with 1 "
                "viewer, %.2f %% with 20 (utime+stime)\n\n",
                web.seconds, web.cpu1, web.cpu20);
            printHeader();
            printComparison(options, "benchctl web and 20 viewers", page);
        };
        // Last in every run, so that the figures above come out as they always have.
        auto baseline = [&options] {
            if (!options.baseline.empty()) {
                std::printf("\n");
                printBaseline(options, measureBaseline(options));
            }
        };
        if (options.baselineOnly) {
            if (options.baseline.empty()) {
                throw std::runtime_error("--baseline-only needs --baseline PATH");
            }
            printBaseline(options, measureBaseline(options));
            return 0;
        }
        if (options.scaleOnly) {
            printScale(options, measureScale(options));
            return 0;
        }
        if (options.pageOnly) {
            const WebFigures web = measureWeb(options);
            const Comparison page = measurePage(options);
            printPage(web, page);
            baseline();
            return 0;
        }
        if (options.comparisonOnly) {
            const Comparison observers = measureObservers(options);
            const Comparison mqtt = measureMqtt(options);
            const Comparison capture = measureCapture(options);
            printHeader();
            printComparison(options, "8 observers (one not reading)", observers);
            printComparison(options, "MQTT publishing", mqtt);
            printComparison(options, "capture on", capture);
            baseline();
            return 0;
        }
        LatencyFigures daemon = measureDaemon(options, self);
        const Figures& relay = daemon.relay;
        IdleFigures idle = measureIdle(options);
        const Comparison observers = measureObservers(options);
        const Comparison mqtt = measureMqtt(options);
        const Comparison capture = measureCapture(options);
        const WebFigures web = measureWeb(options);
        const Comparison page = measurePage(options);
        const std::vector<ScaleRow> scale = measureScale(options);

        printHeader();
        printRow("board report -> client has the message", daemon.report, "p99 < 1");
        printRow("client setting -> command frame on the line", daemon.setting, "p99 < 1");
        printRow("board data frame -> its ACK on the line", daemon.ack, "p99 < 0.5");
        printRow("100 commands acknowledged at once (total)", daemon.batch, "< 100");
        printRow("plain relay: pty -> TCP client (same rounds)", relay, "");
        std::printf("\nreport -> client / plain relay: p50 %.2f, p90 %.2f, p99 %.2f (goal <= 2)\n",
                    daemon.report.percentile(0.5) / relay.percentile(0.5),
                    daemon.report.percentile(0.9) / relay.percentile(0.9),
                    daemon.report.percentile(0.99) / relay.percentile(0.99));
        std::printf(
            "idle CPU, 8 configured boards sending only their 1 s version report, "
            "client connected, %d s: %.3f %% of one core (schedstat; utime+stime: "
            "%.2f %%), %d threads, %zu frames written by the daemon in the window "
            "(goal < 0.2 %%)\n\n",
            options.idleSeconds, idle.percent, idle.tickPercent, idle.threads, idle.hostFrames);
        printHeader();
        printComparison(options, "8 observers (one not reading)", observers);
        printComparison(options, "MQTT publishing", mqtt);
        printComparison(options, "capture on", capture);
        std::printf("\n");
        printPage(web, page);
        std::printf("\n");
        printScale(options, scale);
        baseline();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "latency: %s\n", error.what());
        return 1;
    }
    return 0;
}
