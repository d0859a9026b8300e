// The reader side of a channel over a real pseudo-terminal: acknowledgements, the queue of
// received frames, the board's ACK numbers, and stopping.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "boardoptions.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "service/console.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string describe(const Command& command) {
    return hex({command.number(), command.code(), command.access(), command.length()}) + " | " +
           hex(Bytes(command.data, command.data + command.length()));
}

std::vector<std::string> drain(ReceiveManager& manager) {
    std::vector<std::string> frames;
    while (std::unique_ptr<Command> command = manager.tryTake()) {
        EXPECT_EQ(command->type, FRAME_DATA);
        frames.push_back(describe(*command));
    }
    return frames;
}

// Whatever a descriptor has to read within the timeout.
Bytes readFd(int fd, std::chrono::milliseconds timeout) {
    Bytes bytes;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char buffer[1024];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                bytes.insert(bytes.end(), buffer, buffer + n);
            }
        }
    }
    return bytes;
}

std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

class ReceiveManagerTest : public ::testing::Test {
protected:
    Pty pty;
    Channel channel{pty.openSlave(),
                    testing_support::boardOptions(false, std::chrono::milliseconds(0))};
    ReceiveManager& manager = *channel.receiveManager;
};

}  // namespace

TEST_F(ReceiveManagerTest, TwoFramesInOneWriteAreAcknowledgedInOrderAndQueued) {
    manager.startReader();
    pty.write(dataFrame(9, codes::ROTATION_SPEED, 1, {0x05, 0xDC}) +
              dataFrame(3, codes::VERSION, 1, {0x21, 0x01}));
    EXPECT_EQ(hex(pty.readAtLeast(10)), hex(ackFrame(9) + ackFrame(3)));
    ASSERT_TRUE(waitUntil([&] { return manager.queued() == 2; }));
    EXPECT_EQ(drain(manager),
              (std::vector<std::string>{"09 29 01 02 | 05 DC", "03 02 01 02 | 21 01"}));
}

TEST_F(ReceiveManagerTest, FrameSplitAnywhereIsAcknowledgedOnce) {
    Bytes expectedAcks;
    for (std::size_t cut = 1; cut < 12; ++cut) {
        unsigned char number = static_cast<unsigned char>(cut);
        Bytes frame = dataFrame(number, codes::TEMPERATURE, 1, {0xA5, 0x0F, 0x33, 0x00});
        ASSERT_EQ(frame.size(), 12u);
        manager.handleBytes(frame.data(), cut);
        EXPECT_EQ(manager.queued(), 0u) << "cut " << cut;
        manager.handleBytes(frame.data() + cut, frame.size() - cut);
        EXPECT_EQ(drain(manager), std::vector<std::string>{hex({number, codes::TEMPERATURE, 1, 4}) +
                                                           " | A5 0F 33 00"})
            << "cut " << cut;
        expectedAcks = expectedAcks + ackFrame(number);
    }
    EXPECT_EQ(hex(pty.readFor(std::chrono::milliseconds(200))), hex(expectedAcks));
}

TEST_F(ReceiveManagerTest, BadCrcIsNeitherAcknowledgedNorQueued) {
    manager.startReader();
    Bytes bad = dataFrame(4, codes::ROTATION_SPEED, 1, {0x01, 0x02, 0x03});
    bad[8] ^= 0x40;
    pty.write(bad);
    pty.write(dataFrame(5, codes::ROTATION_SPEED, 1, {0x01, 0x02, 0x03}));
    EXPECT_EQ(hex(pty.readAtLeast(5)), hex(ackFrame(5)));
    ASSERT_TRUE(waitUntil([&] { return manager.queued() == 1; }));
    EXPECT_EQ(drain(manager), std::vector<std::string>{"05 29 01 03 | 01 02 03"});
    EXPECT_TRUE(pty.readFor(std::chrono::milliseconds(100)).empty());
}

TEST_F(ReceiveManagerTest, BoardAckIsPrintedAndStoredNotQueued) {
    Bytes acks = ackFrame(5) + unhex("A5 A5 33 09 00");  // the second has a wrong CRC
    console::drain();
    testing::internal::CaptureStdout();
    manager.handleBytes(acks.data(), acks.size());
    console::drain();
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Ack number: [5]\n");
    EXPECT_EQ(channel.getAckNumber(), 5);
    EXPECT_EQ(manager.queued(), 0u);

    // Through the reader thread too; the host never acknowledges an ACK.
    manager.startReader();
    console::drain();
    testing::internal::CaptureStdout();
    pty.write(ackFrame(200));
    bool stored = waitUntil([&] { return channel.getAckNumber() == 200; });
    console::drain();
    printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(stored);
    EXPECT_EQ(printed, "Ack number: [200]\n");
    EXPECT_TRUE(pty.readFor(std::chrono::milliseconds(100)).empty());
    EXPECT_EQ(manager.queued(), 0u);
}

TEST_F(ReceiveManagerTest, RepeatedFrameIsAcknowledgedAndQueuedTwice) {
    manager.startReader();
    Bytes frame = dataFrame(17, codes::VERSION, 1, {0x3D});
    pty.write(frame);
    pty.write(frame);
    EXPECT_EQ(hex(pty.readAtLeast(10)), hex(ackFrame(17) + ackFrame(17)));
    ASSERT_TRUE(waitUntil([&] { return manager.queued() == 2; }));
    EXPECT_EQ(drain(manager), (std::vector<std::string>{"11 02 01 01 | 3D", "11 02 01 01 | 3D"}));
}

TEST_F(ReceiveManagerTest, StoppedReaderLeavesTheLineAlone) {
    manager.startReader();
    pty.write(dataFrame(1, codes::VERSION, 1, {}));
    ASSERT_EQ(hex(pty.readAtLeast(5)), hex(ackFrame(1)));

    channel.stopReceiveManager();
    manager.join();
    Bytes late = dataFrame(2, codes::VERSION, 1, {0x07});
    pty.write(late);
    EXPECT_TRUE(pty.readFor(std::chrono::milliseconds(150)).empty());
    // The bytes are still waiting on the line for whoever reads it next.
    FileDescriptor other = pty.openSlave();
    EXPECT_EQ(hex(readFd(other.get(), std::chrono::milliseconds(200))), hex(late));
    EXPECT_EQ(manager.queued(), 1u);
}

TEST(ReceiveManagerRetire, ThreadsEndBeforeTheDescriptorCloses) {
    Pty pty;
    {
        // A sanitizer runtime may start a helper thread of its own with the first thread.
        Channel warmUp(pty.openSlave(),
                       testing_support::boardOptions(true, std::chrono::milliseconds(0)));
    }
    std::size_t before = threadCount();
    auto channel = std::make_unique<Channel>(
        pty.openSlave(), testing_support::boardOptions(false, std::chrono::milliseconds(0)));
    int number = channel->fd();
    channel->receiveManager->startReader();
    channel->sendManager->start();
    pty.write(dataFrame(1, codes::VERSION, 1, {}));
    ASSERT_TRUE(waitUntil([&] { return channel->receiveManager->queued() == 1; }));
    EXPECT_GE(threadCount(), before + 2);

    channel->retire();
    EXPECT_EQ(channel->fd(), -1);
    EXPECT_EQ(fcntl(number, F_GETFD), -1);
    EXPECT_TRUE(
        waitUntil([&] { return threadCount() <= before; }, std::chrono::milliseconds(1000)));

    // A port opened now may get the same number: the retired channel never touches it.
    pty.readFor(std::chrono::milliseconds(50));
    FileDescriptor reused = pty.openSlave();
    Bytes frame = dataFrame(3, codes::VERSION, 1, {0x01});
    pty.write(frame);
    EXPECT_EQ(hex(readFd(reused.get(), std::chrono::milliseconds(200))), hex(frame));
    EXPECT_TRUE(pty.readFor(std::chrono::milliseconds(100)).empty());
    channel->retire();  // a second retire does nothing
    channel.reset();
}
