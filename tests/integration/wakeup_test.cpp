// The hand-offs between the threads are event-driven: an ACK ends the sender's wait for it and
// a stop wakes every wait. (A queued message waking the server, and a client that stops reading:
// server_test.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/crit.h"
#include "boardoptions.h"
#include "consolecapture.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "link/sendmanager.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/consolethrottle.h"
#include "service/outbox.h"
#include "testsupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A board that answers every data frame the host writes with an ACK at once, carrying the
// frame's number plus `offset` (0: the right number).
class AckingBoard {
public:
    explicit AckingBoard(int offset) : offset_(offset) {
        thread_ = std::thread([this] { run(); });
    }
    ~AckingBoard() {
        stop_.store(true);
        thread_.join();
    }
    const Pty& pty() const { return pty_; }

    struct Frame {
        Clock::time_point at;
        unsigned char number;
    };
    std::vector<Frame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    void run() {
        Bytes pending;
        unsigned char buffer[1024];
        while (!stop_.load()) {
            pollfd p{pty_.master(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n <= 0) {
                continue;
            }
            Clock::time_point at = Clock::now();
            pending.insert(pending.end(), buffer, buffer + n);
            // Only data frames come from the host here: A5 A5 0F number code access length.
            while (pending.size() >= 7 && pending.size() >= pending[6] + 8u) {
                unsigned char number = pending[3];
                pending.erase(pending.begin(), pending.begin() + pending[6] + 8);
                pty_.write(ackFrame(static_cast<unsigned char>(number + offset_)));
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back({at, number});
            }
        }
    }

    const int offset_;
    Pty pty_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
    std::thread thread_;
};

const ChannelOptions NO_THREADS =
    testing_support::boardOptions(false, std::chrono::milliseconds(0));

// An identified, configured channel whose reader and sender run against the board. Its
// numbers start at 10, away from the ACK number 0 that a new channel holds.
struct Link {
    explicit Link(int offset, ChannelOptions options = NO_THREADS)
        : board(offset), channel(board.pty().openSlave(), options) {
        channel.sendManager->frameCounter = 10;
        channel.setDevice(known_devices::CRIT0304);
        channel.setDefined();
        channel.setConfigured();
        channel.receiveManager->startReader();
        channel.sendManager->start();
    }
    void enqueue(int count) {
        std::vector<std::unique_ptr<Command>> commands;
        for (int i = 0; i < count; ++i) {
            commands.push_back(CRIT::reset());
        }
        channel.sendManager->enqueue(std::move(commands));
    }
    ConsoleCapture out{1};  // the reader's "Ack number" lines
    AckingBoard board;
    Channel channel;
};

}  // namespace

TEST(WakeupSender, AckDuringTheWaitEndsItAndTheNextCommandFollows) {
    constexpr int COUNT = 30;
    // A long wait for each ACK: a sender that waited it out would need a minute for them all,
    // and a busy machine cannot make an ACK miss it.
    ChannelOptions slowRetries = NO_THREADS;
    slowRetries.ackWait = 2000ms;
    Link link(0, slowRetries);
    link.enqueue(COUNT);
    ASSERT_TRUE(waitUntil([&] { return link.board.frames().size() >= COUNT; }, 20000ms));
    EXPECT_TRUE(link.out.waitFor("Ack number: [39]\n"));
    std::vector<AckingBoard::Frame> frames = link.board.frames();
    for (int i = 0; i < COUNT; ++i) {
        // Each written once: acknowledged at its first try.
        EXPECT_EQ(frames[i].number, 10 + i);
    }
    link.channel.retire();
    EXPECT_EQ(link.board.frames().size(), static_cast<std::size_t>(COUNT));
}

TEST(WakeupSender, AckForAnotherNumberDoesNotEndTheWait) {
    Link link(1);  // every ACK names the next number
    link.enqueue(1);
    ASSERT_TRUE(waitUntil([&] { return link.board.frames().size() >= 3; }));
    std::vector<AckingBoard::Frame> frames = link.board.frames();
    EXPECT_EQ(frames[0].number, frames[2].number);
    // Three tries, each waiting its 10 ms.
    EXPECT_GE(frames[2].at - frames[0].at, 15ms)
        << std::chrono::duration_cast<std::chrono::microseconds>(frames[2].at - frames[0].at)
               .count()
        << " us";
    link.channel.retire();
    EXPECT_EQ(link.board.frames().size(), 3u);
}

TEST(WakeupChannel, RetireWakesThreadsWaitingWithoutATimeLimit) {
    // Reader on its port, decoder on its queue, sender idle: none of them wakes by itself.
    Pty pty;
    ConsoleCapture out{1};
    Channel channel(pty.openSlave(),
                    testing_support::boardOptions(false, std::chrono::milliseconds(0)));
    channel.setDevice(known_devices::CRIT0304);
    channel.setDefined();
    channel.setConfigured();
    channel.receiveManager->start();
    channel.sendManager->start();
    pty.write(dataFrame(1, 99, 1, {}));  // a code without a handler
    ASSERT_EQ(hex(pty.readAtLeast(5)), hex(ackFrame(1)));
    ASSERT_TRUE(waitUntil([&] { return channel.receiveManager->queued() == 0; }));

    auto start = Clock::now();
    channel.retire();
    EXPECT_LT(Clock::now() - start, 300ms);
}
