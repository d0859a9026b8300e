// What the latency figures' parts share: the board the measurements drive, the figures and
// their table, the options, and the measurements themselves (one file each under bench/latency/,
// main() in bench/latency.cpp).
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frames.h"
#include "process.h"
#include "protocol/deviceids.h"
#include "pty.h"
#include "tcpclient.h"
#include "tempdir.h"

namespace latency {

using Clock = std::chrono::steady_clock;
using harness::ackFrame;
using harness::Bytes;
using harness::dataFrame;
using namespace std::chrono_literals;
// The control client and the observers: every message stamped with the time it was read.
using Client = harness::StampedClient;

constexpr int BATCH_SIZE = 100;

// The bench's children (daemon, benchsim, benchctl web, the relay) with their output thrown
// away: the daemon's console lines would otherwise cost a pipe and a reader here. Stopped with
// SIGTERM, so that a daemon with --capture closes its file.
const harness::Process::Options QUIET{{}, 0, "/dev/null", SIGTERM};

inline double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Polls `condition` until it holds or `deadline` passes.
template <typename Condition>
bool waitUntilTrue(Condition condition, Clock::time_point deadline) {
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// One board on a pseudo-terminal. Its thread reads what the host writes, cuts it into frames
// stamped with the time their first byte was read, acknowledges every data frame at once,
// answers version requests and sends its version report once a second (the keep-alive that
// the handshake schedules), and nothing else unless the measurement writes a report.
class Board {
public:
    struct HostFrame {
        Clock::time_point firstByte;
        Clock::time_point acknowledged;  // when this board's ACK for it was written
        unsigned char number, code, access;
        Bytes payload;
    };
    struct Ack {
        Clock::time_point at;
        unsigned char number;
    };

    explicit Board(unsigned char device) : device_(device) {
        thread_ = std::thread([this] { run(); });
    }
    ~Board() {
        stop_.store(true);
        thread_.join();
    }
    const harness::Pty& pty() const { return pty_; }

    // Writes a frame; returns the time its last byte was handed to the line.
    Clock::time_point send(const Bytes& frame) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        harness::writeAll(pty_.master(), frame.data(), frame.size());
        return Clock::now();
    }
    unsigned char nextNumber() { return counter_.fetch_add(1); }

    std::size_t frameCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }
    std::size_t ackCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return acks_.size();
    }
    Clock::time_point lastFrameAt() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.empty() ? Clock::time_point{} : frames_.back().firstByte;
    }
    // Waits until `pred` holds over the frames and ACKs received so far.
    bool waitUntil(
        const std::function<bool(const std::vector<HostFrame>&, const std::vector<Ack>&)>& pred,
        Clock::time_point deadline) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return pred(frames_, acks_); });
    }
    std::vector<HostFrame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    void run();
    // Cuts the bytes read so far into frames and answers them.
    void cut();

    const unsigned char device_;
    harness::Pty pty_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned char> counter_{0};
    std::mutex writeMutex_;
    std::deque<std::pair<unsigned char, Clock::time_point>> pending_;  // board thread only
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<HostFrame> frames_;  // guarded by mutex_
    std::vector<Ack> acks_;          // guarded by mutex_
    std::thread thread_;
};

// Waits until every schedule entry of the stand has reached the board.
bool waitConfigured(const Board& board, std::chrono::seconds timeout);
// The stand's speed report, `speed` in the stand's 4 bytes.
Bytes speedReport(Board& stand, long speed);

struct Options;

// A whole bench for the comparison rounds: a stand of this harness's own (its reports timed)
// beside benchsim's injector tester, flowmeter and delay meter, their ports in one directory.
struct SimulatedBench {
    explicit SimulatedBench(const Options& options);
    harness::TempDir dir{"benchd-bench"};
    Board board{known_devices::STAND};
    harness::Process sim;
};

struct Figures {
    std::vector<double> ms;
    int lost = 0;

    double percentile(double p) const {
        if (ms.empty()) {
            return 0;
        }
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        // Nearest rank.
        std::size_t rank = static_cast<std::size_t>(std::ceil(p * sorted.size()));
        return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
    }
    double max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

void printHeader();
void printRow(const std::string& name, const Figures& figures, const std::string& goal);

struct Options {
    int samples = 1000;
    int batches = 20;
    int idleSeconds = 10;
    std::string daemon = BENCHD_BINARY;  // another build of the daemon, to compare
    std::string baseline;                // a daemon measured against `daemon` (--baseline)
    std::string benchsim = BENCHSIM_BINARY;
    std::string benchctl = BENCHCTL_BINARY;
    int webSamples = 150;          // report -> browser, each 150 to 250 ms apart
    int comparisonSamples = 6000;  // per side of an A/B comparison
    int rounds = 12;               // of each side, alternating
    bool comparisonOnly = false;
    bool pageOnly = false;
    bool baselineOnly = false;                  // the baseline comparison alone
    bool scaleOnly = false;                     // the cost with the bench's size alone
    std::vector<int> scaleSizes{1, 8, 32, 64};  // boards on the bench, one row each
    int scaleSeconds = 10;                      // the CPU window of each size
    int scaleSamples = 1000;                    // report -> client samples of each size
};

// Random pauses between samples, so that samples do not keep one phase against a polling
// loop's period.
class Gaps {
public:
    void pause() { std::this_thread::sleep_for(std::chrono::microseconds(spread_(random_))); }

private:
    std::mt19937 random_{20150};
    std::uniform_int_distribution<int> spread_{0, 10000};
};

// CPU time of every thread of the process in nanoseconds (the scheduler's own account).
uint64_t threadCpuNanos(pid_t pid);
// utime + stime of the process in clock ticks, from /proc/<pid>/stat.
uint64_t processTicks(pid_t pid);

// ---- The daemon alone beside a plain relay, and idle (core.cpp). ----

struct LatencyFigures {
    Figures report, ack, setting, batch, relay;
};

LatencyFigures measureDaemon(const Options& options, const std::string& self);
// The relay process itself (latency --relay SLAVE_PATH PORT).
int relayMain(const std::string& slavePath, uint16_t port);

struct IdleFigures {
    double percent = 0;          // from schedstat
    double tickPercent = 0;      // from utime + stime
    std::size_t hostFrames = 0;  // frames the daemon wrote during the window
    int threads = 0;
};

IdleFigures measureIdle(const Options& options);

// ---- A/B comparisons in alternating rounds (rounds.cpp) and their sides. ----

// An A/B comparison of the report -> control client latency. Each side is a daemon with extra
// arguments and company that joins it for its rounds (observers, a subscriber); the sides are
// measured in alternating rounds (A B, B A, A B, ...) so that the machine's drift lands on
// both alike. Every round starts afresh: the measured stand on ttyUSB0 and simulated boards
// streaming a whole bench's telemetry on ttyUSB1-3 (an injector tester recording
// oscillograms, a flowmeter, a delay meter), set going by the control client as an operator
// would, then the side's company joins, then the samples.
struct Side {
    std::string name;
    // The daemon's extra arguments; `spare` is a free port the side may use.
    std::function<std::vector<std::string>(uint16_t spare)> arguments;
    // What joins the daemon for the round, kept until its samples are taken (may be empty).
    std::function<std::shared_ptr<void>(uint16_t spare, Board& stand)> join;
};

struct Comparison {
    std::string aName, bName;
    Figures a, b;
    // The daemon's CPU time over the sampling windows of each side, and the windows' length.
    double aCpuSeconds = 0, bCpuSeconds = 0, aSeconds = 0, bSeconds = 0;
};

// The settings that set the simulated bench going (as tools/demo.sh sends them).
extern const char* const BENCH_SETTINGS;

Comparison compareRounds(const Options& options, const Side& a, const Side& b);
// The same with each side's own daemon binary.
Comparison compareRounds(const Options& options, const Side& a, const Side& b,
                         const std::string& aDaemon, const std::string& bDaemon);
// Both sides of a comparison in the table, and their ratios.
void printComparison(const Options& options, const std::string& what, const Comparison& comparison);

Comparison measureObservers(const Options& options);  // observers.cpp
Comparison measureMqtt(const Options& options);       // mqtt.cpp
Comparison measureCapture(const Options& options);    // capture.cpp

// ---- The page (web.cpp). ----

struct WebFigures {
    Figures toBrowser1, toBrowser20;
    double cpu1 = 0, cpu20 = 0;  // % of one core
    int seconds = 0;
};

WebFigures measureWeb(const Options& options);
Comparison measurePage(const Options& options);

// ---- Another build of the daemon against this one (baseline.cpp). ----

Comparison measureBaseline(const Options& options);
// The two side by side in one table.
void printBaseline(const Options& options, const Comparison& comparison);

// ---- The cost with the bench's size (scale.cpp). ----

struct ScaleRow {
    int boards = 0;
    double messagesPerSecond = 0;  // reaching the client, in the CPU window
    double cpuPercent = 0;         // of one core, all threads (schedstat)
    double runsPerSecond = 0;      // times a thread of the daemon was put on a processor
    long rssKb = 0;
    int threads = 0;
    int descriptors = 0;
    Figures report;    // report -> client, after the window
    std::string load;  // the load average when the size was done
};

std::vector<ScaleRow> measureScale(const Options& options);
void printScale(const Options& options, const std::vector<ScaleRow>& rows);

}  // namespace latency
