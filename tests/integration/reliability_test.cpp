// Ports that fail under the reader, the per-board counters, repeating console lines, and
// clients whose machine dies. (Boards that come back under the same name and exclusive ports
// are the watcher's: watcher_test.cpp.)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

#include "bench/stand.h"
#include "client/tcpserver.h"
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

constexpr ChannelOptions NO_THREADS{false, std::chrono::milliseconds(0)};
constexpr ChannelOptions AT_ONCE{true, std::chrono::milliseconds(0)};

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

// ---- Clients whose machine dies ----

namespace {

// A server on its own thread, serving with the given client timeout.
class ReliabilityServer : public ::testing::Test {
protected:
    void TearDown() override {
        if (server) {
            server->stop();
        }
        if (thread.joinable()) {
            thread.join();
        }
        takeMessages();
    }

    void start(std::chrono::seconds timeout) {
        // A fresh server's connection lines: the throttle that counts them is process-wide.
        consoleThrottle().clear();
        server = std::make_unique<TcpServer>(0, "127.0.0.1");
        server->setClientTimeout(timeout);
        ASSERT_TRUE(server->listen());
        thread = std::thread([this] { server->connect(); });
        ASSERT_TRUE(out.waitFor("Waiting for connection...\n"));
    }

    // A connected client socket with the given receive buffer (0: the default).
    FileDescriptor connectClient(int receiveBuffer = 0) const {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (receiveBuffer > 0) {
            ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server->port());
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return FileDescriptor();
        }
        return fd;
    }

    // The client's kernel drops whatever the server sends, as a machine that lost power or its
    // cable answers nothing.
    static bool dieSilently(int fd) {
        sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
        sock_fprog program{1, dropAll};
        return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
    }

    ConsoleCapture out{1};
    ConsoleCapture err{2};
    std::unique_ptr<TcpServer> server;
    std::thread thread;
};

// The server's end of the client's connection, found among this process's descriptors.
int serverEndOf(int client) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(client, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    DIR* fds = ::opendir("/proc/self/fd");
    int found = -1;
    while (dirent* entry = fds ? ::readdir(fds) : nullptr) {
        int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        length = sizeof peer;
        if (entry->d_name[0] != '.' && fd != client &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && peer.sin_port == local.sin_port) {
            found = fd;
        }
    }
    if (fds) {
        ::closedir(fds);
    }
    return found;
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(fd, level, name, &value, &length);
    return value;
}

}  // namespace

TEST_F(ReliabilityServer, ClientConnectionHasKeepAliveOfAboutThirtySeconds) {
    start(std::chrono::seconds(30));
    FileDescriptor client = connectClient();
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    int fd = -1;
    int idle = 0, interval = 0, probes = 0, total = 0;
    // The server sets the options just after it says the connection is established: the
    // system's defaults (two hours and more) until then.
    const bool set = waitUntil([&] {
        if ((fd = serverEndOf(client.get())) < 0) {
            return false;
        }
        idle = intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
        interval = intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
        probes = intOption(fd, IPPROTO_TCP, TCP_KEEPCNT);
        total = idle + interval * probes;
        return intOption(fd, SOL_SOCKET, SO_KEEPALIVE) == 1 && total <= 40;
    });
    EXPECT_TRUE(set) << idle << " + " << interval << " x " << probes;
    EXPECT_GE(total, 20) << idle << " + " << interval << " x " << probes;
}

TEST_F(ReliabilityServer, DeadClientWithMessagesWaitingIsDroppedAndTheNextServed) {
    start(std::chrono::seconds(3));
    FileDescriptor dead = connectClient();
    ASSERT_TRUE(dead.valid());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    ASSERT_TRUE(dieSilently(dead.get()));
    const auto died = Clock::now();
    pushMessage("device_rpm:1;");

    TcpClient next(server->port());
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(err.waitFor("Error recv: Connection timed out\n", 1, 20000ms)) << err.text();
    EXPECT_GE(Clock::now() - died, std::chrono::seconds(2)) << "not before the timeout";
    ASSERT_TRUE(out.waitFor("Connection established.\n", 2));
    pushMessage("device_rpm:2;");
    EXPECT_TRUE(next.waitFor("device_rpm:2;"));
}

TEST_F(ReliabilityServer, DeadIdleClientIsDroppedByKeepAlive) {
    start(std::chrono::seconds(6));
    FileDescriptor dead = connectClient();
    ASSERT_TRUE(dead.valid());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    ASSERT_TRUE(dieSilently(dead.get()));

    TcpClient next(server->port());
    ASSERT_TRUE(next.connected());
    EXPECT_TRUE(err.waitFor("Error recv: Connection timed out\n", 1, 30000ms)) << err.text();
    EXPECT_TRUE(out.waitFor("Connection established.\n", 2));
}

TEST_F(ReliabilityServer, ClientThatStopsReadingKeepsItsConnectionPastTheTimeout) {
    start(std::chrono::seconds(1));
    FileDescriptor client = connectClient(4096);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));

    // More than both sockets hold (the server's grows to a few megabytes on loopback): the
    // server's socket stays full while the client does not read, and its window stays closed.
    const std::string filler(400, 'x');
    for (int i = 0; i < 10000; ++i) {
        pushMessage("m:" + filler + std::to_string(i) + ";");
    }
    ASSERT_TRUE(waitUntil([&] {
        int unread = 0;
        MutexLock lock(tcpMutex);
        return ::ioctl(client.get(), FIONREAD, &unread) == 0 && unread > 0 && !commands.empty();
    }));

    // Six times the timeout with the window closed: the client answers the server's window
    // probes (ever more rarely, as they back off), so it is alive.
    EXPECT_FALSE(waitUntil([&] { return err.count("Error recv") > 0; }, 6000ms)) << err.text();

    std::string received;
    const std::string last = "m:" + filler + "9999;";
    EXPECT_TRUE(waitUntil(
        [&] {
            char buffer[65536];
            ssize_t n = ::recv(client.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
            }
            return received.size() >= last.size() &&
                   received.compare(received.size() - last.size(), last.size(), last) == 0;
        },
        10000ms));
    EXPECT_EQ(out.count("Connection established.\n"), 1u);
    EXPECT_EQ(out.count("Write Error"), 0u);
}
