// The hand-offs between the threads are event-driven: an ACK ends the sender's wait for it, a
// stop wakes every wait, a queued message wakes the server, and a client that stops reading
// holds up neither the parser nor the framing of what it is sent.
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
#include "client/tcpserver.h"
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

namespace {

class WakeupServer : public ::testing::Test {
protected:
    void SetUp() override {
        // A fresh server's connection lines: the throttle that counts them is process-wide.
        consoleThrottle().clear();
        ASSERT_TRUE(server.listen());
        thread = std::thread([this] { server.connect(); });
        ASSERT_TRUE(out.waitFor("Waiting for connection...\n"));
    }
    void TearDown() override {
        server.stop();
        if (thread.joinable()) {
            thread.join();
        }
        clearMessages();
    }

    // A connected client socket with a small receive buffer, so that it fills quickly.
    FileDescriptor connectSmall() {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int size = 4096;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.port());
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }

    ConsoleCapture out{1};
    ConsoleCapture err{2};
    TcpServer server{0, "127.0.0.1"};
    std::thread thread;
};

}  // namespace

TEST_F(WakeupServer, EveryMessageQueuedByAnotherThreadArrivesInOrder) {
    TcpClient client(server.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    constexpr int COUNT = 3000;
    std::string expected;
    for (int i = 0; i < COUNT; ++i) {
        expected += "wake:" + std::to_string(i) + ";";
    }
    // Bursts and gaps, so that pushes meet the server both busy and asleep.
    std::thread producer([] {
        for (int i = 0; i < COUNT; ++i) {
            pushMessage("wake:" + std::to_string(i) + ";");
            if (i % 97 == 0) {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    producer.join();
    ASSERT_TRUE(client.waitFor("wake:" + std::to_string(COUNT - 1) + ";"));
    EXPECT_EQ(client.received(), expected);
}

TEST_F(WakeupServer, ClientThatStopsReadingHoldsUpNeitherParserNorFraming) {
    FileDescriptor client = connectSmall();
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    // Far more than the socket buffers hold, within the queue's limit.
    constexpr int COUNT = 10000;
    const std::string padding(990, 'p');
    for (int i = 0; i < COUNT; ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%05d", i);
        pushMessage(std::string("stall:") + number + ":" + padding + ";");
    }
    // The client still talks while it reads nothing.
    ASSERT_EQ(::send(client.get(), "stalled;", 8, MSG_NOSIGNAL), 8);
    EXPECT_TRUE(out.waitFor("COMMAND: [stalled]\n"));

    // Once it reads again, every message arrives whole and in order.
    std::string received;
    const std::string last = "stall:09999:";
    char buffer[65536];
    auto deadline = Clock::now() + 30s;
    while (received.find(last) == std::string::npos && Clock::now() < deadline) {
        pollfd p{client.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
            ASSERT_GT(n, 0);
            received.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ASSERT_TRUE(waitUntil([&] {
        pollfd p{client.get(), POLLIN, 0};
        if (::poll(&p, 1, 5) > 0) {
            ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return !received.empty() && received.back() == ';' &&
               received.find(last) != std::string::npos;
    }));
    int previous = -1;
    std::size_t start = 0;
    while (start < received.size()) {
        std::size_t end = received.find(';', start);
        ASSERT_NE(end, std::string::npos);
        std::string message = received.substr(start, end - start);
        ASSERT_EQ(message.size(), 6 + 5 + 1 + padding.size()) << message.substr(0, 20);
        ASSERT_EQ(message.compare(0, 6, "stall:"), 0);
        int number = std::stoi(message.substr(6, 5));
        EXPECT_GT(number, previous);
        previous = number;
        start = end + 1;
    }
    EXPECT_EQ(previous, COUNT - 1);
}
