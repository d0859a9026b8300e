// Ports that fail under the reader, the per-board counters and repeating console lines.
// (Clients whose machine dies: server_test.cpp; boards that come back under the same name and
// exclusive ports: watcher_test.cpp.)
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

#include "boardoptions.h"
#include "consolecapture.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "link/sendmanager.h"
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

}  // namespace

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
