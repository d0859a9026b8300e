#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "latency.h"

namespace latency {

void printHeader() {
    std::printf("| %-44s | %9s | %9s | %9s | %9s | %6s | %-12s |\n", "figure (ms)", "p50", "p90",
                "p99", "max", "n", "goal");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
                std::string(11, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(11, '-').c_str(),
                std::string(8, '-').c_str(), std::string(14, '-').c_str());
}

void printRow(const std::string& name, const Figures& figures, const std::string& goal) {
    std::printf("| %-44s | %9.3f | %9.3f | %9.3f | %9.3f | %6zu | %-12s |", name.c_str(),
                figures.percentile(0.50), figures.percentile(0.90), figures.percentile(0.99),
                figures.max(), figures.ms.size(), goal.c_str());
    if (figures.lost > 0) {
        std::printf(" %d lost", figures.lost);
    }
    std::printf("\n");
}

void printComparison(const Options& options, const std::string& what,
                     const Comparison& comparison) {
    printRow("report -> client, A: " + comparison.aName, comparison.a, "");
    printRow("report -> client, B: " + comparison.bName, comparison.b, "");
    std::printf(
        "report -> client with %s / without (B/A), %d alternating rounds of each on a "
        "streaming bench: p50 %.2f, p99 %.2f (goal <= 1.10)\n",
        what.c_str(), options.rounds, comparison.b.percentile(0.5) / comparison.a.percentile(0.5),
        comparison.b.percentile(0.99) / comparison.a.percentile(0.99));
    std::printf(
        "daemon CPU while sampling (all threads, schedstat): A %.1f %%, B %.1f %% of one "
        "core\n",
        100 * comparison.aCpuSeconds / comparison.aSeconds,
        100 * comparison.bCpuSeconds / comparison.bSeconds);
    std::fflush(stdout);
}

uint64_t threadCpuNanos(pid_t pid) {
    uint64_t total = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path() / "schedstat");
        uint64_t running = 0;
        if (in >> running) {
            total += running;
        }
    }
    return total;
}

uint64_t processTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    // Fields 3 to 13, then utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i) {
        rest >> field;
    }
    rest >> utime >> stime;
    return utime + stime;
}

}  // namespace latency
