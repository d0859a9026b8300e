// chaoscheck RUN_DIR: reads what a chaos run's boards, clients, observer and broker logged,
// decodes the boards' reports with its own table, and prints one table: what was injected,
// what was checked, what was lost and whether a counter or a console line said so. Exits 1
// when anything was lost without a word, a stop was late, a board came back late, the
// fail-safe misfired, or the daemon's resources were not flat.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "runcheck.h"

using namespace chaoscheck;

namespace {

bool open(const std::string& path, std::ifstream& in) {
    in.open(path);
    if (!in) {
        std::cerr << "chaoscheck: cannot read " << path << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "Usage: chaoscheck RUN_DIR\n";
        return 2;
    }
    const std::string dir = argv[1];
    Run run;
    long bad = 0;
    std::ifstream meta, frames, log, console;
    if (!open(dir + "/run.txt", meta) || !open(dir + "/frames.log", frames) ||
        !open(dir + "/run.log", log) || !open(dir + "/console.log", console)) {
        return 2;
    }
    readRunText(meta, run);
    readFrameLog(frames, run, bad);
    readRunLog(log, run, bad);
    readConsole(console, run);
    matchAcks(run);
    if (run.end == 0) {
        std::cerr << "chaoscheck: the run did not finish (no end in run.txt)\n";
        return 2;
    }

    Verdict verdict;
    double worstStopMs = 0, worstGuardMs = 0, worstReplugS = 0;
    std::vector<Figure> figures = {
        checkReports(run, "client", verdict),     checkReports(run, "observer", verdict),
        checkReports(run, "mqtt", verdict),       checkSettings(run, verdict),
        checkStops(run, verdict, worstStopMs),    checkGuardStops(run, verdict, worstGuardMs),
        checkReplugs(run, verdict, worstReplugS), checkFailsafe(run, verdict),
        checkCapture(run, dir, verdict)};

    long badCrcSent = 0, noiseBytes = 0;
    for (const Board& board : run.boards) {
        for (const FrameEvent& e : board.events) {
            badCrcSent += e.tx && e.type == "badcrc";
            noiseBytes += e.tx && e.type == "noise" ? std::atol(e.detail.c_str()) : 0;
        }
    }

    std::printf("\nchaos run: seed %s, %s s, %zu boards, fail-safe %s s\n\n",
                run.settings["seed"].c_str(), run.settings["seconds"].c_str(), run.boards.size(),
                run.settings["failsafe"].c_str());
    std::printf("| event injected | count |\n|---|---|\n");
    for (const auto& [what, count] : run.injected) {
        std::printf("| %s | %ld |\n", what.c_str(), count);
    }
    std::printf("\n| check | checked | reached | lost, said | lost, unaccounted | how |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Figure& f : figures) {
        std::printf("| %s | %ld | %ld | %ld | %ld | %s |\n", f.what.c_str(), f.checked, f.reached,
                    f.accounted, f.unaccounted, f.note.c_str());
    }
    std::printf(
        "\nworst stop: %.1f ms (the client's), %.1f ms (the motor guard's); worst "
        "re-identification: %.2f s\n",
        worstStopMs, worstGuardMs, worstReplugS);
    std::printf(
        "frames sent with a bad CRC %ld, the daemon's crc failures %ld; noise bytes %ld, "
        "garbage bytes %ld\n",
        badCrcSent, counterTotal(run, "crc failures"), noiseBytes,
        counterTotal(run, "garbage bytes"));

    if (!run.resources.empty()) {
        const auto first = std::find_if(run.resources.begin(), run.resources.end(),
                                        [&](const Run::Sample& s) { return s.t >= run.start; });
        const Run::Sample start = first == run.resources.end() ? run.resources.front() : *first;
        const Run::Sample end = run.resources.back();
        Run::Sample peak = start;
        for (const Run::Sample& s : run.resources) {
            peak.rssKb = std::max(peak.rssKb, s.rssKb);
            peak.threads = std::max(peak.threads, s.threads);
            peak.fds = std::max(peak.fds, s.fds);
        }
        std::printf("\n| daemon | start | peak | end |\n|---|---|---|---|\n");
        std::printf("| RSS (KiB) | %ld | %ld | %ld |\n", start.rssKb, peak.rssKb, end.rssKb);
        std::printf("| threads | %ld | %ld | %ld |\n", start.threads, peak.threads, end.threads);
        std::printf("| descriptors | %ld | %ld | %ld |\n", start.fds, peak.fds, end.fds);
        const double cpu = end.t > start.t ? 100.0 * static_cast<double>(end.cpuNs - start.cpuNs) /
                                                 (1000.0 * static_cast<double>(end.t - start.t))
                                           : 0;
        std::printf("\ndaemon CPU: %.1f %% of one core over %.0f s\n", cpu,
                    static_cast<double>(end.t - start.t) / 1e6);
        if (end.threads != start.threads || end.fds > start.fds + 2 ||
            end.rssKb > start.rssKb + start.rssKb / 2 + 4096) {
            verdict.failures.push_back("resources: not flat (start and end differ beyond noise)");
        }
    }
    if (bad > 0) {
        verdict.notes.push_back(std::to_string(bad) + " log lines could not be read");
    }
    for (const std::string& note : verdict.notes) {
        std::printf("note: %s\n", note.c_str());
    }
    if (verdict.failures.empty()) {
        std::printf("\nchaoscheck: nothing lost without a word\n");
        return 0;
    }
    for (const std::string& failure : verdict.failures) {
        std::printf("FAILED: %s\n", failure.c_str());
    }
    return 1;
}
