// A channel's two writes, its start and its retirement.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "bench/crit.h"
#include "boardoptions.h"
#include "link/channel.h"
#include "protocol/command.h"
#include "service/console.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

// A pair whose every write arrives as one message: a receive shows exactly one write.
struct MessagePair {
    MessagePair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
            throw std::runtime_error("socketpair");
        }
        host = FileDescriptor(fds[0]);
        board = FileDescriptor(fds[1]);
    }
    // The next message, or nothing.
    Bytes next() const {
        unsigned char buffer[1024];
        ssize_t n = recv(board.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
    }
    FileDescriptor host;
    FileDescriptor board;
};

const ChannelOptions NO_THREADS =
    testing_support::boardOptions(false, std::chrono::milliseconds(0));

std::size_t threadCount() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

}  // namespace

TEST(ChannelWrites, AckIsOneWholeWrite) {
    MessagePair pair;
    Channel channel(std::move(pair.host), NO_THREADS);
    channel.sendACK(7);
    channel.sendACK(0);
    EXPECT_EQ(hex(pair.next()), "A5 A5 33 07 83");
    EXPECT_EQ(hex(pair.next()), "A5 A5 33 00 00");
    EXPECT_TRUE(pair.next().empty());
}

TEST(ChannelWrites, CommandIsOneWholeWrite) {
    MessagePair pair;
    Channel channel(std::move(pair.host), NO_THREADS);
    CRIT::restoreDefaults();
    std::unique_ptr<Command> command = CRIT::setInjector();
    command->setNumber(0);
    command->createCommand();
    // 16 payload bytes and 8 of framing.
    EXPECT_EQ(channel.sendCommand(*command), 24);
    EXPECT_EQ(hex(pair.next()),
              "A5 A5 0F 00 0B 01 10 06 01 00 00 03 E8 00 00 00 C8 00 01 86 A0 00 00 C8");
    EXPECT_TRUE(pair.next().empty());
}

TEST(ChannelWrites, RefusedAckIsReported) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FileDescriptor writeEnd(fds[1]);
    // The read end of a pipe refuses writes.
    Channel refusing(FileDescriptor(fds[0]), NO_THREADS);
    Channel closed(FileDescriptor(), NO_THREADS);
    console::drain();
    testing::internal::CaptureStdout();
    refusing.sendACK(7);
    closed.sendACK(8);
    console::drain();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Bytes written does not match to ack size: -1 != 5\n"
              "Bytes written does not match to ack size: -1 != 5\n");
    for (const Channel* channel : {&refusing, &closed}) {
        EXPECT_EQ(channel->counters().acksSent.load(), 0u);
        EXPECT_EQ(channel->counters().writeFailures.load(), 1u);
    }
}

TEST(ChannelWrites, FullPortGivesUpAfterAShortWaitAndCountsTheFrame) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    FileDescriptor board(fds[1]);
    const unsigned char fill[4096] = {};
    int rounds = 0;
    while (::write(fds[0], fill, sizeof fill) > 0 && ++rounds < 100000) {
    }
    ASSERT_EQ(errno, EAGAIN);
    Channel channel(FileDescriptor(fds[0]), NO_THREADS);
    CRIT::restoreDefaults();
    std::unique_ptr<Command> command = CRIT::setInjector();
    command->createCommand();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(channel.sendCommand(*command), 24);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(channel.counters().writeFailures.load(), 1u);
}

TEST(ChannelStart, AFailedStartJoinsTheThreadsAlreadyRunning) {
    // Stands for a sender thread that could not be created, after the reader and decoder
    // were: their channel is destroyed on the way out, and they must be gone first.
    static std::size_t threadsBefore;
    static std::size_t threadsAtFailure;
    // Threads that the process starts once, on its first thread or first console line (a
    // sanitizer's background thread, the console's writer), are there before counting.
    std::thread([] {}).join();
    console::drain();
    threadsBefore = threadCount();
    Pty pty;
    ChannelOptions options = testing_support::boardOptions(true, std::chrono::milliseconds(0));
    options.beforeSenderStart = [] {
        threadsAtFailure = threadCount();
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    EXPECT_THROW(Channel(pty.openSlave(), options), std::system_error);
    EXPECT_EQ(threadsAtFailure, threadsBefore + 2) << "reader and decoder were running";
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(ChannelRetire, ReturnsPromptlyDuringTheStartPause) {
    Pty pty;
    Channel channel(pty.openSlave(),
                    testing_support::boardOptions(true, std::chrono::milliseconds(1000)));
    auto start = std::chrono::steady_clock::now();
    channel.retire();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(300));
    EXPECT_EQ(channel.fd(), -1);
    // Nothing was ever written: the threads ended inside their first pause.
    EXPECT_TRUE(pty.readFor(std::chrono::milliseconds(50)).empty());
}
