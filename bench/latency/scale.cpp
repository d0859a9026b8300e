// How the daemon's cost grows with the bench: for each bench size, the stand played by this
// harness (its reports timed) and benchsim's boards of the four kinds in rotation on the further
// ports, all streaming at the schedules the daemon programs, the injector testers drawing their
// oscillograms. Per size: the daemon's CPU and wake-ups over a quiet window, the messages that
// reach the client, its memory, threads and descriptors, then the report -> client latency.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "latency.h"
#include "loopback.h"
#include "protocol/codes.h"
#include "protocol/deviceids.h"
#include "tempdir.h"

namespace latency {

namespace {

// benchsim's kinds for ttyUSB1, ttyUSB2, ... in turn: with ttyUSB0 the harness's stand, four
// boards make the bench of the comparisons, and every further four one more of the same.
const char* const KINDS[] = {"stand", "crit", "flowmeter", "delaymeter"};

// A number from /proc (one value a file); `fallback` when it cannot be read.
long procNumber(const std::string& path, long fallback) {
    std::ifstream in(path);
    long value = fallback;
    in >> value;
    return in ? value : fallback;
}

// "Name:  value ..." from /proc/<pid>/status; -1 when missing.
long statusField(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::atol(line.c_str() + name.size() + 1);
        }
    }
    return -1;
}

int entries(const std::string& dir) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++count;
    }
    return count;
}

// Times the scheduler put any of the process's threads on a processor (schedstat's third
// field): each is a wake-up and a context switch.
uint64_t threadRuns(pid_t pid) {
    uint64_t total = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream in(entry.path() / "schedstat");
        uint64_t running = 0, waiting = 0, runs = 0;
        if (in >> running >> waiting >> runs) {
            total += runs;
        }
    }
    return total;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Fails with one clear line when the machine cannot hold `boards` boards: a pseudo-terminal
// each, a port and a few event descriptors in the daemon, three threads in it.
void checkLimits(int boards) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    // Each process has this limit: the daemon takes two a board and admits the observer that
    // counts its boards only while a quarter of the limit stays free; benchsim holds both
    // sides of each board's pseudo-terminal.
    const rlim_t needFiles = static_cast<rlim_t>(boards) * 8 + 128;
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < needFiles) {
        throw std::runtime_error("ulimit -n is " + std::to_string(files.rlim_cur) + "; " +
                                 std::to_string(boards) + " boards need at least " +
                                 std::to_string(needFiles) + " (raise it with ulimit -n)");
    }
    const long ptyMax = procNumber("/proc/sys/kernel/pty/max", -1);
    const long ptyInUse = procNumber("/proc/sys/kernel/pty/nr", 0);
    if (ptyMax >= 0 && ptyMax - ptyInUse < boards + 4) {
        throw std::runtime_error("/proc/sys/kernel/pty/max is " + std::to_string(ptyMax) +
                                 " with " + std::to_string(ptyInUse) + " in use; " +
                                 std::to_string(boards) + " boards need " +
                                 std::to_string(boards + 4) + " more");
    }
    rlimit processes{};
    ::getrlimit(RLIMIT_NPROC, &processes);
    const rlim_t needThreads = static_cast<rlim_t>(boards) * 3 + 64;
    const long threadsMax = procNumber("/proc/sys/kernel/threads-max", -1);
    if ((processes.rlim_cur != RLIM_INFINITY && processes.rlim_cur < needThreads) ||
        (threadsMax >= 0 && static_cast<rlim_t>(threadsMax) < needThreads)) {
        throw std::runtime_error("ulimit -u is " + std::to_string(processes.rlim_cur) +
                                 " and threads-max " + std::to_string(threadsMax) + "; " +
                                 std::to_string(boards) + " boards need " +
                                 std::to_string(needThreads) + " threads");
    }
}

// Whether the daemon counts `boards` boards identified: the state that the monitor port gives
// a new observer names every identified board, once.
bool allIdentified(uint16_t monitorPort, std::size_t boards) {
    Client observer(monitorPort, 2000ms);
    return waitUntilTrue([&] { return observer.countStartingWith("device_connected:") >= boards; },
                         Clock::now() + 300ms);
}

ScaleRow measureSize(const Options& options, int boards) {
    checkLimits(boards);
    ScaleRow row;
    row.boards = boards;
    harness::TempDir dir("benchd-scale");
    Board stand(known_devices::STAND);
    dir.link("ttyUSB0", stand.pty().slavePath());
    std::unique_ptr<harness::Process> sim;
    int testers = 0;
    if (boards > 1) {
        std::vector<std::string> argv{options.benchsim, "--dir", dir.path()};
        for (int i = 1; i < boards; ++i) {
            argv.push_back(std::string(KINDS[i % 4]) + "=ttyUSB" + std::to_string(i));
            testers += i % 4 == 1;
        }
        sim = std::make_unique<harness::Process>(argv, QUIET);
        const std::string last = dir.path() + "/ttyUSB" + std::to_string(boards - 1);
        if (!waitUntilTrue([&] { return std::filesystem::exists(last); }, Clock::now() + 20s)) {
            throw std::runtime_error("the simulated boards did not appear");
        }
    }
    const uint16_t port = harness::freePort();
    const uint16_t monitorPort = harness::freePort();
    harness::Process daemon({options.daemon, "--port", std::to_string(port), "--dev-dir",
                             dir.path(), "--monitor-port", std::to_string(monitorPort)},
                            QUIET);
    Client client(port, 5000ms);
    const auto identified = Clock::now() + 60s;
    while (!allIdentified(monitorPort, static_cast<std::size_t>(boards))) {
        if (Clock::now() > identified) {
            throw std::runtime_error(std::to_string(boards) + " boards: not all identified");
        }
        std::this_thread::sleep_for(200ms);
    }
    if (!waitConfigured(stand, 20s)) {
        throw std::runtime_error(std::to_string(boards) + " boards: the stand was not configured");
    }
    client.send(BENCH_SETTINGS);
    // Every tester draws six charts at a time: two of each at least before the window.
    const std::size_t charts = static_cast<std::size_t>(testers) * 2;
    if (!waitUntilTrue([&] { return client.countStartingWith("injector_chart") >= charts; },
                       Clock::now() + 30s)) {
        throw std::runtime_error(std::to_string(boards) + " boards: the testers drew no charts");
    }
    std::this_thread::sleep_for(1s);

    // The bench alone, no samples: what the boards cost.
    const pid_t pid = daemon.pid();
    const std::size_t messagesBefore = client.messageCount();
    const uint64_t cpuBefore = threadCpuNanos(pid);
    const uint64_t runsBefore = threadRuns(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options.scaleSeconds));
    const uint64_t cpuAfter = threadCpuNanos(pid);
    const uint64_t runsAfter = threadRuns(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    row.messagesPerSecond = static_cast<double>(client.messageCount() - messagesBefore) / seconds;
    row.cpuPercent = 100.0 * static_cast<double>(cpuAfter - cpuBefore) / 1e9 / seconds;
    row.runsPerSecond = static_cast<double>(runsAfter - runsBefore) / seconds;
    row.rssKb = statusField(pid, "VmRSS");
    row.threads = static_cast<int>(statusField(pid, "Threads"));
    row.descriptors = entries("/proc/" + std::to_string(pid) + "/fd");

    // Then the stand's reports, one at a time, on top of that. The simulated stands report
    // device_active 0 and 1 themselves: the stamped values start at 2.
    Gaps gaps;
    for (int i = 0; i < options.scaleSamples; ++i) {
        gaps.pause();
        const unsigned char value = static_cast<unsigned char>(2 + i % 200);
        const std::size_t messages = client.messageCount();
        const Clock::time_point sent =
            stand.send(dataFrame(stand.nextNumber(), codes::ROTATION_ACTIVE, 1, {value}));
        Clock::time_point received;
        if (client.waitForMessage("device_active:" + std::to_string(value) + ";", messages,
                                  sent + 2s, received)) {
            row.report.ms.push_back(millis(received - sent));
        } else {
            ++row.report.lost;
        }
    }
    return row;
}

}  // namespace

std::vector<ScaleRow> measureScale(const Options& options) {
    // The largest bench first, so that a machine too small for it says so before the run.
    checkLimits(*std::max_element(options.scaleSizes.begin(), options.scaleSizes.end()));
    std::vector<ScaleRow> rows;
    for (int boards : options.scaleSizes) {
        rows.push_back(measureSize(options, boards));
        rows.back().load = loadAverage();
    }
    return rows;
}

void printScale(const Options& options, const std::vector<ScaleRow>& rows) {
    std::printf(
        "cost with the bench's size: the harness's stand on ttyUSB0, benchsim's stand, injector "
        "tester (oscillograms on), flowmeter and delay meter in turn on ttyUSB1...; %d s window "
        "with no samples for CPU (all threads, schedstat) and messages, then %d report -> client "
        "samples\n",
        options.scaleSeconds, options.scaleSamples);
    std::printf("| %6s | %10s | %9s | %9s | %10s | %8s | %8s | %11s | %8s | %7s | %5s | %-14s |\n",
                "boards", "messages/s", "CPU %", "per board", "wake-ups/s", "p50 ms", "p99 ms",
                "n (lost)", "RSS MiB", "threads", "fds", "load after");
    std::printf(
        "|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(8, '-').c_str(),
        std::string(12, '-').c_str(), std::string(11, '-').c_str(), std::string(11, '-').c_str(),
        std::string(12, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str(),
        std::string(13, '-').c_str(), std::string(10, '-').c_str(), std::string(9, '-').c_str(),
        std::string(7, '-').c_str(), std::string(16, '-').c_str());
    for (const ScaleRow& row : rows) {
        const std::string samples =
            std::to_string(row.report.ms.size()) + " (" + std::to_string(row.report.lost) + ")";
        std::printf(
            "| %6d | %10.0f | %9.2f | %9.3f | %10.0f | %8.3f | %8.3f | %11s | %8.1f | %7d | %5d | "
            "%-14s |\n",
            row.boards, row.messagesPerSecond, row.cpuPercent, row.cpuPercent / row.boards,
            row.runsPerSecond, row.report.percentile(0.5), row.report.percentile(0.99),
            samples.c_str(), static_cast<double>(row.rssKb) / 1024, row.threads, row.descriptors,
            row.load.c_str());
    }
    std::fflush(stdout);
}

}  // namespace latency
