// Boards that go away and come back under the same name, ports that fail under the reader,
// exclusive ports, the per-board counters and repeating console lines. (Clients whose machine
// dies: server_test.)
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/boards.h"
#include "bench/stand.h"
#include "boardoptions.h"
#include "consolecapture.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "link/sendmanager.h"
#include "link/serialwatcher.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/outbox.h"
#include "service/runstate.h"
#include "testsupport.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

const ChannelOptions NO_THREADS =
    testing_support::boardOptions(false, std::chrono::milliseconds(0));
const ChannelOptions AT_ONCE = testing_support::boardOptions(true, std::chrono::milliseconds(0));

dev_t rdevOf(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? info.st_rdev : 0;
}

dev_t rdevOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_rdev : 0;
}

// A new link `name` -> target put in place with one rename: the name is never missing from a
// scan, as when a board is swapped faster than the watcher looks.
void relink(const TempDir& dir, const std::string& name, const std::string& target) {
    const std::string swap = dir.path() + "/swap-link";
    ASSERT_EQ(::symlink(target.c_str(), swap.c_str()), 0);
    ASSERT_EQ(::rename(swap.c_str(), (dir.path() + "/" + name).c_str()), 0);
}

// Opening `path` as an unprivileged user: 0 when it opened, else its errno; -1 when this
// process cannot become one.
int openAsNobody(const std::string& path) {
    if (::geteuid() != 0) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        int error = errno;
        if (fd >= 0) {
            ::close(fd);
            return 0;
        }
        return error;
    }
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(255);
        }
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : (errno & 0x7F));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) == 255) {
        return -1;
    }
    return WEXITSTATUS(status);
}

class ReliabilityWatcher : public ::testing::Test {
protected:
    void TearDown() override {
        watcher.reset();
        takeMessages();
        countersRequested.store(false);
        Stand::restoreDefaults();
    }

    std::string path(const std::string& name) const { return dir.path() + "/" + name; }

    TempDir dir;
    ConsoleCapture out{1};
    std::unique_ptr<SerialWatcher> watcher =
        std::make_unique<SerialWatcher>(dir.path(), PortGlobs{}, &benchBoards());
};

}  // namespace

// ---- Boards plugged out and in again between two scans ----

TEST_F(ReliabilityWatcher, BoardReplacedUnderTheSameNameWithinOneScanIsReopened) {
    const struct {
        const char* name;
        bool oldBoardUnplugged;  // its terminal closed too, or still there elsewhere
    } cases[] = {{"another board swapped in", false}, {"the board plugged out and in", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto first = std::make_unique<Pty>();
        Pty second;
        dir.link("ttyUSB0", first->slavePath());
        watcher->pass();
        std::shared_ptr<Channel> old = channelNamed("ttyUSB0");
        ASSERT_TRUE(old);
        old->setDevice(12);
        old->setDefined();
        const std::size_t disconnects = out.count("Device disconnected: ttyUSB0\n");
        const std::size_t connects = out.count("Connect to: [" + path("ttyUSB0") + "]\n");

        if (c.oldBoardUnplugged) {
            first.reset();
        }
        relink(dir, "ttyUSB0", second.slavePath());
        watcher->pass();

        EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), disconnects + 1);
        EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB0") + "]\n"), connects + 1);
        EXPECT_EQ(takeMessages(), std::vector<std::string>{"device_disconnected:12;"});
        std::shared_ptr<Channel> fresh = channelNamed("ttyUSB0");
        ASSERT_TRUE(fresh);
        EXPECT_NE(fresh, old);
        EXPECT_EQ(old->fd(), -1) << "the old channel is retired";
        EXPECT_EQ(rdevOf(fresh->fd()), rdevOf(second.slavePath()));
        EXPECT_EQ(fresh->getDevice(), known_devices::UNKNOWN);

        // The same node in the next scan is left alone.
        watcher->pass();
        EXPECT_EQ(channelNamed("ttyUSB0"), fresh);
        dir.unlink("ttyUSB0");
        watcher->pass();
        takeMessages();
    }
}

TEST_F(ReliabilityWatcher, LostPortIsRetiredThenOpenedAgain) {
    Pty board;
    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> old = channelNamed("ttyUSB0");
    ASSERT_TRUE(old);
    old->setDevice(61);
    old->setDefined();
    Stand::standConnected.store(true);

    // What the reader does on a hard read error: the node itself is unchanged.
    old->markFailed();
    watcher->pass();

    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 1u);
    EXPECT_EQ(takeMessages(), std::vector<std::string>{"device_disconnected:61;"});
    EXPECT_FALSE(Stand::standConnected.load());
    std::shared_ptr<Channel> fresh = channelNamed("ttyUSB0");
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh, old);
    EXPECT_FALSE(fresh->hasFailed());
    EXPECT_EQ(rdevOf(fresh->fd()), rdevOf(board.slavePath()));
    EXPECT_EQ(out.count("Connect to: [" + path("ttyUSB0") + "]\n"), 2u);
}

TEST_F(ReliabilityWatcher, UnpluggedBoardWhoseLinkStaysIsNotReopenedUntilItComesBack) {
    auto board = std::make_unique<Pty>();
    dir.link("ttyUSB0", board->slavePath());
    watcher->pass();
    ASSERT_TRUE(channelNamed("ttyUSB0"));

    // Its terminal closes; the dangling link leads nowhere.
    board.reset();
    watcher->pass();
    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 1u);
    EXPECT_EQ(out.count("Error opening [" + path("ttyUSB0") + "]"), 1u);
    for (int i = 0; i < 3; ++i) {
        watcher->pass();
    }
    EXPECT_EQ(out.count("Error opening [" + path("ttyUSB0") + "]"), 1u) << "no churn";
    EXPECT_EQ(out.count("Device disconnected: ttyUSB0\n"), 1u);

    Pty back;
    relink(dir, "ttyUSB0", back.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> fresh = channelNamed("ttyUSB0");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(rdevOf(fresh->fd()), rdevOf(back.slavePath()));
}

// ---- The reader losing its port ----

TEST(ReliabilityReader, HardReadErrorLosesThePortAtOnce) {
    // A terminal's master side whose other side is closed fails every read with EIO.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ::close(slave);

    ConsoleCapture out{1};
    Channel channel(FileDescriptor(master), NO_THREADS, "ttyUSB7");
    channel.receiveManager->startReader();
    EXPECT_TRUE(waitUntil([&] { return channel.hasFailed(); }, 2000ms));
    EXPECT_TRUE(out.waitFor("Port lost [ttyUSB7]: Input/output error\n"));
    channel.retire();
    EXPECT_EQ(out.count("Port lost"), 1u);
}

TEST(ReliabilityReader, LastingHangUpLosesThePortAndAQuietOneIsKept) {
    ConsoleCapture out{1};
    auto lost = std::make_unique<Pty>();
    Pty quiet;
    Channel hungUp(lost->openSlave(), NO_THREADS, "ttyUSB0");
    Channel kept(quiet.openSlave(), NO_THREADS, "ttyUSB1");
    hungUp.receiveManager->startReader();
    kept.receiveManager->startReader();

    lost.reset();
    EXPECT_TRUE(waitUntil([&] { return hungUp.hasFailed(); }, 3000ms));
    EXPECT_TRUE(out.waitFor("Port lost [ttyUSB0]: "));

    // Twice as long as a hang-up takes to count, without a byte: the quiet board stays.
    EXPECT_FALSE(waitUntil([&] { return kept.hasFailed(); }, 1000ms));
    quiet.write(dataFrame(9, codes::INJECTOR_CURRENTS, 1, {1}));
    EXPECT_EQ(hex(quiet.readAtLeast(5)), hex(ackFrame(9)));
    EXPECT_EQ(out.count("Port lost [ttyUSB1]"), 0u);
}

// ---- Exclusive ports ----

TEST_F(ReliabilityWatcher, PortIsOpenedForExclusiveUseUntilRetired) {
    Pty board;
    // Anyone may open the terminal as far as its permissions go: only the exclusive flag
    // stands in the way.
    ASSERT_EQ(::chmod(board.slavePath().c_str(), 0666), 0);
    if (openAsNobody(board.slavePath()) < 0) {
        GTEST_SKIP() << "cannot open the port as an unprivileged user from here";
    }
    ASSERT_EQ(openAsNobody(board.slavePath()), 0);

    dir.link("ttyUSB0", board.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(channel->fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_EQ(openAsNobody(board.slavePath()), EBUSY);
    channel.reset();

    // Retired: a terminal whose other side stays open would keep the flag past the close.
    dir.unlink("ttyUSB0");
    watcher->pass();
    EXPECT_EQ(openAsNobody(board.slavePath()), 0);
}

// ---- Counters ----

TEST(ReliabilityCounters, ReaderCountsFramesCrcFailuresAndSkippedBytes) {
    const Bytes frame = dataFrame(1, codes::INJECTOR_CURRENTS, 1, {0xA5, 0x0F, 7});
    Bytes badCrc = dataFrame(2, codes::INJECTOR_CURRENTS, 1, {1, 2});
    badCrc.back() ^= 0xFF;
    auto join = [](std::vector<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    const struct {
        const char* name;
        Bytes bytes;
        uint64_t frames, crcFailures, garbage;
    } cases[] = {
        {"a frame", frame, 1, 0, 0},
        {"garbage before it", join({{0x00, 0x11, 0x22}, frame}), 1, 0, 3},
        {"a third start byte", join({{0xA5}, frame}), 1, 0, 1},
        {"start bytes then garbage", {0xA5, 0xA5, 0x00}, 0, 0, 3},
        {"start bytes that may begin a frame", {0x01, 0xA5, 0xA5}, 0, 0, 1},
        {"a bad CRC, then a frame", join({badCrc, frame}), 1, 1, 0},
        {"the board's ACK", ackFrame(4), 0, 0, 0},
        {"an ACK with a bad CRC", {0xA5, 0xA5, 0x33, 4, 0x00}, 0, 1, 0},
        {"frames back to back, garbage between", join({frame, {0x42}, frame, frame}), 3, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Pty board;
        Channel channel(board.openSlave(), NO_THREADS, "ttyUSB0");
        console::drain();
        testing::internal::CaptureStdout();
        // Byte by byte and in one piece: the count does not depend on the reads.
        for (unsigned char byte : c.bytes) {
            channel.receiveManager->handleBytes(&byte, 1);
        }
        channel.receiveManager->handleBytes(c.bytes.data(), c.bytes.size());
        console::drain();
        testing::internal::GetCapturedStdout();
        const ChannelCounters& counters = channel.counters();
        EXPECT_EQ(counters.framesReceived.load(), 2 * c.frames);
        EXPECT_EQ(counters.acksSent.load(), 2 * c.frames);
        EXPECT_EQ(counters.crcFailures.load(), 2 * c.crcFailures);
        // The two feeds follow each other on one line, so bytes held at the end of the first
        // may turn into garbage at the start of the second: count each feed on its own.
        Channel single(board.openSlave(), NO_THREADS, "ttyUSB0");
        console::drain();
        testing::internal::CaptureStdout();
        single.receiveManager->handleBytes(c.bytes.data(), c.bytes.size());
        console::drain();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(single.counters().garbageBytes.load(), c.garbage);
    }
}

TEST(ReliabilityCounters, SenderCountsCommandsRetriesAndDrops) {
    Pty board;
    Channel channel(board.openSlave(), NO_THREADS, "ttyUSB0");
    SendManager& sender = *channel.sendManager;
    const ChannelCounters& counters = channel.counters();

    sender.writeOnce(sender.getVersion());
    EXPECT_EQ(counters.commandsSent.load(), 1u);

    // Nobody acknowledges: three tries, then the command is dropped.
    EXPECT_FALSE(sender.sendWithRetries(sender.clearSchedule()));
    EXPECT_EQ(counters.commandsSent.load(), 2u);
    EXPECT_EQ(counters.retries.load(), 2u);
    EXPECT_EQ(counters.dropped.load(), 1u);

    // The version request, then three tries of a one-byte payload frame.
    EXPECT_EQ(board.readAtLeast(8 + 3 * 9).size(), 8u + 3u * 9u) << "the frames went out";

    // Acknowledged once it is on the line (a busy machine may let a second try through).
    const unsigned char number = sender.frameCounter;
    std::thread boardSide([&] {
        if (board.readAtLeast(9).size() >= 9) {
            channel.setAckNumber(number);
        }
    });
    EXPECT_TRUE(sender.sendWithRetries(sender.clearSchedule()));
    boardSide.join();
    EXPECT_EQ(counters.commandsSent.load(), 3u);
    EXPECT_LE(counters.retries.load(), 3u);
    EXPECT_EQ(counters.dropped.load(), 1u);
}

TEST_F(ReliabilityWatcher, CountersArePrintedOnRequestAndAtRetirement) {
    Pty first;
    Pty second;
    dir.link("ttyUSB0", first.slavePath());
    dir.link("ttyUSB1", second.slavePath());
    watcher->pass();
    std::shared_ptr<Channel> channel = channelNamed("ttyUSB0");
    ASSERT_TRUE(channel);
    channel->setDevice(12);
    channel->setDefined();
    channel->setConfigured();
    for (int i = 0; i < 6; ++i) {
        watcher->pass();
    }
    ASSERT_EQ(out.count("Connection timeout\n"), 1u);
    EXPECT_EQ(out.count("Counters ["), 0u);

    countersRequested.store(true);
    watcher->pass();
    EXPECT_FALSE(countersRequested.load());
    EXPECT_EQ(out.count("Counters [ttyUSB0]: "), 1u);
    EXPECT_EQ(out.count("Counters [ttyUSB1]: "), 1u);
    EXPECT_EQ(counterOf(out.text(), "ttyUSB0", "timeouts"), 1);
    EXPECT_EQ(counterOf(out.text(), "ttyUSB1", "timeouts"), 0);
    watcher->pass();
    EXPECT_EQ(out.count("Counters ["), 2u) << "once per request";

    dir.unlink("ttyUSB0");
    watcher->pass();
    const std::string text = out.text();
    EXPECT_NE(text.find("Device disconnected: ttyUSB0\nCounters [ttyUSB0]: "), std::string::npos)
        << text;
    EXPECT_EQ(out.count("Counters [ttyUSB0]: "), 2u);
}

// ---- Repeating console lines ----

TEST(ReliabilityThrottle, FailingAckWritesPrintOneLinePerChannel) {
    consoleThrottle().clear();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    FileDescriptor writeEnd(fds[1]);
    // The read end of a pipe refuses every write, as a dying port does.
    Channel dying(FileDescriptor(fds[0]), NO_THREADS, "ttyUSB0");
    Channel other(FileDescriptor(), NO_THREADS, "ttyUSB1");
    console::drain();
    testing::internal::CaptureStdout();
    for (int i = 0; i < 200; ++i) {
        dying.sendACK(static_cast<unsigned char>(i));
    }
    other.sendACK(0);
    console::drain();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Bytes written does not match to ack size: -1 != 5\n"
              "Bytes written does not match to ack size: -1 != 5\n");
    EXPECT_EQ(dying.counters().acksSent.load(), 0u);
    consoleThrottle().clear();
}
