// The real daemon's console as a user meets it: a standard output that nobody reads or whose
// reader goes away, descriptors closed at start, a client message with a line break, and the
// start-up options that concern what it prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "faultbench.h"
#include "rawboard.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;

namespace {

// Runs `command` through the shell with `fd` of the test as its standard input ("<&") or
// output (">&"). `fd` is inherited by this child alone and closed here.
std::unique_ptr<Process> runWith(FileDescriptor fd, const std::string& redirect,
                                 const std::vector<std::string>& command) {
    ::fcntl(fd.get(), F_SETFD, 0);
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "exec \"$@\" " + redirect + std::to_string(fd.get()), "sh"};
    argv.insert(argv.end(), command.begin(), command.end());
    return std::make_unique<Process>(argv);
}

std::vector<std::string> daemonArgs(const TempDir& dir, uint16_t port) {
    return {benchdPath(),         "--dev-dir",      dir.path(), "--port",
            std::to_string(port), "--monitor-port", "0"};
}

// Reads the pipe until `text` came or the timeout passed; returns what came.
std::string readUntil(int fd, const std::string& text, std::chrono::milliseconds timeout) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) == 1) {
            char buffer[65536];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return got;
}

std::size_t framesWithCode(const RawBoard& board, unsigned char code) {
    const std::vector<HostFrame> frames = board.hostFrames();
    return std::count_if(frames.begin(), frames.end(),
                         [&](const HostFrame& f) { return f.code() == code; });
}

}  // namespace

TEST(ConsoleE2E, StandardOutputThatNobodyReadsHoldsUpNeitherClientNorBoards) {
    TempDir dir;
    const uint16_t port = freePort();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    FileDescriptor unread(fds[0]);
    auto daemon = runWith(FileDescriptor(fds[1]), ">&", daemonArgs(dir, port));
    RawBoard board(5);
    dir.link("ttyUSB0", board.slavePath());
    FeedClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    const ProcStats before = restingStats(daemon->pid());
    const std::size_t acks = board.hostAcks().size();

    // Each debug dump is two console lines, one of them a thousand characters long: the pipe
    // is full after a few dozen, and the rest is more than the console holds.
    constexpr int FRAMES = 20000;
    constexpr int REPORT_EVERY = 2000;
    const Bytes dump(250, 0x5A);
    for (int i = 1; i <= FRAMES; ++i) {
        ASSERT_TRUE(board.write(board.frame(5, dump))) << "the daemon stopped reading at " << i;
        if (i % REPORT_EVERY == 0) {
            ASSERT_TRUE(board.write(board.frame(62, delayPayload(i))));
        }
    }
    for (int i = REPORT_EVERY; i <= FRAMES; i += REPORT_EVERY) {
        EXPECT_TRUE(client.waitFor(delayMessage(i), 0, 10000ms)) << i;
    }
    EXPECT_TRUE(waitUntil(
        [&] { return board.hostAcks().size() >= acks + FRAMES + FRAMES / REPORT_EVERY; }, 10000ms))
        << board.hostAcks().size() - acks << " frames acknowledged";
    // The client's settings still reach the board (the server echoes them on the console).
    const std::size_t sensitivities = framesWithCode(board, 13);
    client.send("delaymeter_sensitivity:1.0;");
    EXPECT_TRUE(waitUntil([&] { return framesWithCode(board, 13) > sensitivities; }));
    const ProcStats after = procStats(daemon->pid());
    figure("stdout never read: %d frames; daemon before %s, after %s", FRAMES,
           describe(before).c_str(), describe(after).c_str());
    expectRssWithin(before, after.rssKb, 4096);

    // Read at last, the pipe gets the lines the console had room for, then their count.
    const std::string text = readUntil(unread.get(), "lines dropped\n", 10000ms);
    std::smatch dropped;
    ASSERT_TRUE(std::regex_search(text, dropped, std::regex("\nConsole: (\\d+) lines dropped\n")))
        << text.substr(0, 300);
    figure("stdout never read: the console reported %s lines dropped", dropped[1].str().c_str());
    EXPECT_GT(std::stol(dropped[1].str()), FRAMES / 2);
    EXPECT_TRUE(alive(*daemon));
}

TEST(ConsoleE2E, DaemonOutlivesTheReaderOfItsStandardOutput) {
    // benchd | head -1
    TempDir dir;
    const uint16_t port = freePort();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto daemon = runWith(FileDescriptor(fds[1]), ">&", daemonArgs(dir, port));
    auto head = runWith(FileDescriptor(fds[0]), "<&", {"head", "-n", "1"});
    EXPECT_EQ(head->wait(), 0);
    EXPECT_EQ(head->out(), "282578800148737\n");

    // Every line from now on meets a pipe without a reader.
    RawBoard board(5);
    dir.link("ttyUSB0", board.slavePath());
    TcpClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:5;", 10000ms));
    ASSERT_TRUE(board.write(board.frame(62, delayPayload(1234))));
    EXPECT_TRUE(client.waitFor(delayMessage(1234)));
    EXPECT_TRUE(alive(*daemon)) << daemon->err();
}

TEST(ConsoleE2E, StandardOutputThatNeverDrainsDoesNotHoldUpTheExit) {
    Daemon first;
    ASSERT_TRUE(first.process->waitForOut("Waiting for connection...\n"));
    // A pipe already full: not even the start-up line goes through.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    FileDescriptor full(fds[0]);
    const std::string block(4096, 'f');
    while (::write(fds[1], block.data(), block.size()) > 0) {
    }
    ::fcntl(fds[1], F_SETFL, 0);
    TempDir dir;
    // The port is taken, so it exits at once: after a bounded wait for its console.
    auto second = runWith(FileDescriptor(fds[1]), ">&", daemonArgs(dir, first.port));
    EXPECT_EQ(second->wait(10000ms), 1);
}

TEST(ConsoleE2E, LineBreakInAClientMessageStaysOnItsConsoleLine) {
    Daemon daemon;
    TcpClient client(daemon.port);
    ASSERT_TRUE(client.connected());
    client.send("device_rpm:7\r\nDEVICE CONNECTED;");
    ASSERT_TRUE(daemon.process->waitForOut("COMMAND: [device_rpm:7\\r\\nDEVICE CONNECTED]\n"));
    EXPECT_EQ(daemon.count("\nDEVICE CONNECTED"), 0u);
}

TEST(StartupE2E, ClosedStandardInputAndOutputLeaveTheIdleDaemonIdle) {
    TempDir dir;
    const uint16_t port = freePort();
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" <&- >&-", "sh"};
    const std::vector<std::string> args = daemonArgs(dir, port);
    argv.insert(argv.end(), args.begin(), args.end());
    Process daemon(argv);
    // A board that identifies itself prints "VERSION", eight bytes: written into an eventfd
    // that took descriptor 1, they would be a wake-up that nobody clears.
    RawBoard board(5);
    dir.link("ttyUSB0", board.slavePath());
    {
        // A client learns of the board and goes: the server is waiting again.
        TcpClient client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.waitFor("device_connected:5;", 10000ms));
    }
    ASSERT_TRUE(daemon.waitForErr("Client crush\n"));

    const long start = cpuTicks(daemon.pid());
    std::this_thread::sleep_for(1s);  // the span measured, not a wait for anything
    const long used = cpuTicks(daemon.pid()) - start;
    figure("idle for 1 s, started with descriptors 0 and 1 closed: %ld ticks of CPU (of %ld)", used,
           ::sysconf(_SC_CLK_TCK));
    // A server spinning on a wake-up that never clears takes most of a tick per tick.
    EXPECT_LT(used, ::sysconf(_SC_CLK_TCK) / 4);
    TcpClient again(port);
    EXPECT_TRUE(again.connected());
    EXPECT_TRUE(alive(daemon));
}

TEST(StartupE2E, PortZeroSaysWhichPortItGot) {
    TempDir dir;
    Process chosen({benchdPath(), "--dev-dir", dir.path(), "--port", "0", "--monitor-port", "0"});
    ASSERT_TRUE(chosen.waitForOut("Waiting for connection...\n"));
    std::smatch port;
    const std::string out = chosen.out();
    ASSERT_TRUE(
        std::regex_search(out, port, std::regex("^282578800148737\nListening on port (\\d+)\n")))
        << out;
    TcpClient client(static_cast<uint16_t>(std::stoi(port[1].str())));
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(chosen.waitForOut("Connection established.\n"));

    // A port given by number is not repeated.
    Daemon given;
    ASSERT_TRUE(given.process->waitForOut("Waiting for connection...\n"));
    EXPECT_EQ(given.count("Listening on port"), 0u);
}

TEST(StartupE2E, OptionWithoutItsValueIsNamed) {
    for (const std::string option : {"--port", "--bind", "--dev-dir"}) {
        Process process({benchdPath(), option});
        EXPECT_EQ(process.wait(), 2) << option;
        EXPECT_NE(process.err().find("benchd: option " + option + " needs a value\n"),
                  std::string::npos)
            << process.err();
        EXPECT_EQ(process.out(), "");
    }
}
