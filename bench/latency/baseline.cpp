// Another build of the daemon (--baseline PATH: one built from an earlier commit, say) against
// this one: the report -> client latency of both on the same streaming bench, in alternating
// rounds of one run, so that a change's cost is seen apart from the machine's drift.
#include <cstdio>
#include <string>
#include <vector>

#include "latency.h"

namespace latency {

Comparison measureBaseline(const Options& options) {
    const auto arguments = [](uint16_t) { return std::vector<std::string>{"--monitor-port", "0"}; };
    const Side baseline{"baseline", arguments, nullptr};
    const Side current{"current", arguments, nullptr};
    return compareRounds(options, baseline, current, options.baseline, options.daemon);
}

void printBaseline(const Options& options, const Comparison& comparison) {
    const Figures& before = comparison.a;
    const Figures& after = comparison.b;
    std::printf(
        "report -> client, baseline against current, %d alternating rounds of each on a "
        "streaming bench\nbaseline: %s\ncurrent:  %s\n",
        options.rounds, options.baseline.c_str(), options.daemon.c_str());
    std::printf("| %-26s | %9s | %9s | %18s |\n", "report -> client (ms)", "baseline", "current",
                "current / baseline");
    std::printf("|%s|%s|%s|%s|\n", std::string(28, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(20, '-').c_str());
    const struct {
        const char* name;
        double p;  // the percentile; 1 for the maximum
    } rows[] = {{"p50", 0.50}, {"p90", 0.90}, {"p99", 0.99}, {"max", 1.0}};
    for (const auto& row : rows) {
        const double a = row.p < 1 ? before.percentile(row.p) : before.max();
        const double b = row.p < 1 ? after.percentile(row.p) : after.max();
        std::printf("| %-26s | %9.3f | %9.3f | %18.2f |\n", row.name, a, b, a > 0 ? b / a : 0.0);
    }
    std::printf("| %-26s | %9zu | %9zu | %18s |\n", "samples", before.ms.size(), after.ms.size(),
                "");
    std::printf("| %-26s | %9d | %9d | %18s |\n", "lost (no message in 2 s)", before.lost,
                after.lost, "");
    std::printf("| %-26s | %9.1f | %9.1f | %18.2f |\n", "daemon CPU, % of one core",
                100 * comparison.aCpuSeconds / comparison.aSeconds,
                100 * comparison.bCpuSeconds / comparison.bSeconds,
                comparison.aCpuSeconds > 0 ? (comparison.bCpuSeconds / comparison.bSeconds) /
                                                 (comparison.aCpuSeconds / comparison.aSeconds)
                                           : 0.0);
    std::fflush(stdout);
}

}  // namespace latency
