// The device directory as a user meets it, through the real daemon: entries that are not
// ports, a port that cannot be opened yet, a directory that is not there, and a tester that
// floods charts while no client listens.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "faultbench.h"
#include "lockedpty.h"
#include "rawboard.h"
#include "service/outbox.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;
using Clock = std::chrono::steady_clock;

namespace {

// The process's CPU time so far (user and system), in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    // utime and stime are the 14th and 15th fields; the 3rd is the first after the name.
    for (int i = 3; i < 14; ++i) {
        fields >> skip;
    }
    long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long statusKb(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

}  // namespace

TEST(WatcherE2E, EntriesThatAreNotTerminalsAreNeverWrittenTo) {
    Daemon daemon;
    const std::string dir = daemon.dir.path();
    { std::ofstream(dir + "/ttyUSB0"); }
    ASSERT_EQ(::mkfifo((dir + "/ttyUSB1").c_str(), 0600), 0);
    FileDescriptor fifo(::open((dir + "/ttyUSB1").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(fifo.valid());
    daemon.dir.link("ttyUSB2", "/dev/zero");
    daemon.dir.link("ttyUSB3", "/dev/null");
    const struct {
        const char* name;
        const char* reason;
    } entries[] = {{"ttyUSB0", "not a character device"},
                   {"ttyUSB1", "not a character device"},
                   {"ttyUSB2", "not a terminal"},
                   {"ttyUSB3", "not a terminal"}};
    auto error = [&](const char* name) { return "Error opening [" + dir + "/" + name + "]"; };
    for (const auto& e : entries) {
        ASSERT_TRUE(daemon.process->waitForOut(error(e.name) + ": " + e.reason + "\n")) << e.name;
    }

    // Two boards found one after the other: several scans pass over the entries meanwhile.
    const double cpuBefore = cpuSeconds(daemon.process->pid());
    const auto begun = Clock::now();
    RawBoard first(34), second(12);
    daemon.dir.link("ttyUSB8", first.slavePath());
    ASSERT_TRUE(daemon.process->waitForOut("DEVICE CONNECTED: CRIT VERSION", 10000ms));
    daemon.dir.link("ttyUSB9", second.slavePath());
    ASSERT_TRUE(daemon.process->waitForOut("DEVICE CONNECTED: FLOWMETER VERSION", 10000ms));
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    const double cpu = cpuSeconds(daemon.process->pid()) - cpuBefore;
    figure("CPU of the daemon beside a file, a FIFO, /dev/zero and /dev/null: %.2f s in %.2f s",
           cpu, seconds);
    EXPECT_LT(cpu, seconds / 2) << "something keeps the daemon busy";

    for (const auto& e : entries) {
        EXPECT_EQ(daemon.count(error(e.name)), 1u) << e.name;
    }
    EXPECT_EQ(std::filesystem::file_size(dir + "/ttyUSB0"), 0u);
    // No writer ever opened the FIFO: nothing to read, and no hang-up from one that left.
    pollfd p{fifo.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "revents " << p.revents;
    EXPECT_EQ(daemon.count("Connect to: ["), 2u);
}

TEST(WatcherE2E, PortThatCannotBeOpenedYetIsOpenedAndIdentifiedOnceItCan) {
    Daemon daemon;
    LockedPty pty;
    ASSERT_FALSE(pty.slavePath().empty());
    daemon.dir.link("ttyUSB0", pty.slavePath());
    const std::string path = daemon.dir.path() + "/ttyUSB0";
    ASSERT_TRUE(daemon.process->waitForOut("Error opening [" + path + "]"));

    pty.unlock();
    ASSERT_TRUE(daemon.process->waitForOut("Connect to: [" + path + "]\n"));
    // The board answers the handshake (its reply is taken from the line once the reader
    // starts; one sent before is flushed with the rest).
    const Bytes reply = dataFrame(0, 2, 1, {1, 2, 3, 34});
    bool identified = false;
    for (int i = 0; i < 20 && !identified; ++i) {
        ASSERT_EQ(::write(pty.master(), reply.data(), reply.size()),
                  static_cast<ssize_t>(reply.size()));
        identified =
            daemon.process->waitForOut("DEVICE CONNECTED: CRIT VERSION [1] [2] [3]", 500ms);
    }
    EXPECT_TRUE(identified) << daemon.process->out();
    EXPECT_EQ(daemon.count("Error opening ["), 1u);
    EXPECT_EQ(daemon.count("Device disconnected"), 0u);
}

TEST(WatcherE2E, MissingDeviceDirectoryIsSaidOnceAndWatched) {
    TempDir base;
    const std::string dir = base.path() + "/dev";
    Process daemon({benchdPath(), "--dev-dir", dir, "--port", std::to_string(freePort()),
                    "--monitor-port", "0"});
    const std::string cannot = "Cannot read device directory [" + dir + "]: ";
    ASSERT_TRUE(daemon.waitForErr(cannot + "No such file or directory\n"));

    // It appears later, with a board in it.
    std::filesystem::create_directory(dir);
    RawBoard board(61);
    std::filesystem::create_symlink(board.slavePath(), dir + "/ttyUSB0");
    ASSERT_TRUE(daemon.waitForOut("DEVICE CONNECTED: STAND VERSION", 10000ms)) << daemon.out();
    EXPECT_EQ(occurrences(daemon.err(), cannot), 1u);

    // Then it flaps: the board stays connected all along and the reason is not said again.
    // Two requests for the counters, each answered by a pass, make sure that a pass began
    // after the change.
    const auto passAfterNow = [&] {
        for (int round = 0; round < 2; ++round) {
            const std::size_t lines = occurrences(daemon.out(), "Counters [ttyUSB0]");
            ::kill(daemon.pid(), SIGUSR1);
            ASSERT_TRUE(
                waitUntil([&] { return occurrences(daemon.out(), "Counters [ttyUSB0]") > lines; }));
        }
    };
    for (int flap = 0; flap < 3; ++flap) {
        std::filesystem::rename(dir, dir + "-away");
        passAfterNow();
        std::filesystem::rename(dir + "-away", dir);
        passAfterNow();
    }
    EXPECT_EQ(occurrences(daemon.err(), cannot), 1u) << daemon.err();
    EXPECT_EQ(occurrences(daemon.out(), "Device disconnected"), 0u);
    EXPECT_EQ(occurrences(daemon.out(), "Connect to: ["), 1u);
    EXPECT_EQ(occurrences(daemon.out(), "DEVICE CONNECTED"), 1u);
}

TEST(WatcherE2E, ChartFloodWithoutAClientKeepsTheOutboxWithinItsBytes) {
    Daemon daemon;
    RawBoard tester(34);
    daemon.dir.link("ttyUSB0", tester.slavePath());
    ASSERT_TRUE(daemon.process->waitForOut("DEVICE CONNECTED: CRIT VERSION", 10000ms));
    const long rssBefore = statusKb(daemon.process->pid(), "VmRSS");

    // A calibration that makes every sample "-1431721.30,": 65,534-point charts of 786 kB.
    Bytes calibration(22, 0);
    calibration[0] = calibration[1] = 0xFF;  // hy 65535
    calibration[5] = 1;                      // hx 1
    ASSERT_TRUE(tester.write(tester.frame(16, calibration)));
    constexpr int POINTS = 65534;
    constexpr int SAMPLES = 126;  // per segment: 3 + 252 bytes of payload
    Bytes segment{1, POINTS >> 8, POINTS & 0xFF};
    for (int i = 0; i < SAMPLES; ++i) {
        segment.push_back(0x60);  // raw 24576
        segment.push_back(0x00);
    }
    // Each chart takes 521 segments; the one that completes it drops its rest, and the next
    // starts a new chart. Three times the bound in all. After each chart an empty segment of
    // chart 1, which prints its count when it is decoded, keeps the flood at the decoder's
    // pace: what is measured is the outbox, not frames waiting to be decoded.
    const std::size_t charts = 3 * COMMANDS_BYTES_LIMIT / (POINTS * 12) + 1;
    const auto begun = Clock::now();
    for (std::size_t chart = 1; chart <= charts; ++chart) {
        Bytes batch;
        for (int i = 0; i <= POINTS / SAMPLES; ++i) {
            Bytes frame = tester.frame(22, segment);
            batch.insert(batch.end(), frame.begin(), frame.end());
        }
        Bytes marker = tester.frame(21, {0, 0, static_cast<unsigned char>(chart)});
        batch.insert(batch.end(), marker.begin(), marker.end());
        ASSERT_TRUE(tester.write(batch, 10000ms)) << "chart " << chart;
        ASSERT_TRUE(daemon.process->waitForOut(
            "BUFF 0: Switch: 0 Count: " + std::to_string(chart) + " \n", 20000ms));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();

    const long rss = statusKb(daemon.process->pid(), "VmRSS");
    const long peak = statusKb(daemon.process->pid(), "VmHWM");
    figure(
        "%zu charts of %d kB (%zu MB) without a client in %.1f s: VmRSS %ld kB -> %ld kB, "
        "peak %ld kB",
        charts, POINTS * 12 / 1000, charts * POINTS * 12 / 1000000, seconds, rssBefore, rss, peak);
    EXPECT_EQ(daemon.count("Client queue full (16777216 bytes): dropped the oldest"), 1u);
    if (!SANITIZED) {
        // The bound, the chart being assembled and the message being queued, and a margin.
        EXPECT_LT(rss, rssBefore + static_cast<long>(COMMANDS_BYTES_LIMIT / 1024) + 8 * 1024);
    }
}
