// The control server: what a client hears and how its text is framed, clients one after
// another, messages queued by other threads, clients that stop reading, and clients whose
// machine dies.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "link/channelregistry.h"
#include "service/consolethrottle.h"
#include "service/outbox.h"
#include "testsupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A server on its own thread; everything it says is captured.
class ServerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (server) {
            server->stop();
        }
        if (thread.joinable()) {
            thread.join();
        }
        {
            MutexLock lock(channelMapMutex);
            for (const std::string& name : names) {
                channelMap.erase(name);
            }
        }
        clearMessages();
        Stand::restoreDefaults();
    }

    // Starts serving with the given client timeout.
    void start(std::chrono::seconds timeout = std::chrono::seconds(30)) {
        // A fresh server's connection lines: the throttle that counts them is process-wide.
        consoleThrottle().clear();
        server = std::make_unique<TcpServer>(0, "127.0.0.1");
        server->setClientTimeout(timeout);
        ASSERT_TRUE(server->listen());
        ASSERT_NE(server->port(), 0);
        thread = std::thread([this] { server->connect(); });
        ASSERT_TRUE(out.waitFor("Waiting for connection...\n"));
    }

    void addChannel(const std::string& name, unsigned char device) {
        putIdleChannel(name, device);
        names.push_back(name);
    }

    // Messages that reach the server in separate receives; the pause only spreads the
    // segments over the server's 10 ms polls, nothing waits on it.
    void sendSpread(TcpClient& client, const std::vector<std::string>& segments) {
        for (const std::string& segment : segments) {
            client.send(segment);
            std::this_thread::sleep_for(12ms);
        }
    }

    // A connected client socket with the given receive buffer (0: the default; a small one
    // fills quickly).
    FileDescriptor connectClient(int receiveBuffer = 0) const {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (receiveBuffer > 0) {
            ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address = harness::loopback(server->port());
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
    std::vector<std::string> names;
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

TEST_F(ServerTest, NewClientGetsIdentifiedBoardsThenOnlyFreshMessages) {
    ASSERT_NO_FATAL_FAILURE(start());
    addChannel("ttyUSB1", 61);
    addChannel("ttyUSB0", 33);
    addChannel("ttyS0", 255);
    pushMessage("device_rpm:1;");

    TcpClient client(server->port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:61;"));
    EXPECT_TRUE(out.waitFor("Connection established.\n"));

    pushMessage("device_rpm:2;");
    pushMessage("device_active:1;");
    ASSERT_TRUE(client.waitFor("device_active:1;"));
    EXPECT_EQ(client.received(),
              "device_connected:33;device_connected:61;device_rpm:2;device_active:1;");
}

TEST_F(ServerTest, MessagesAreFramedAtSemicolonsWhateverTheSegments) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string text = "device_rpm:1000;device_active:1;";
    std::vector<std::string> everyByte;
    for (char byte : text) {
        everyByte.emplace_back(1, byte);
    }
    const struct {
        const char* name;
        std::vector<std::string> segments;
        std::string echoes;
    } cases[] = {
        {"one segment", {text}, "COMMAND: [device_rpm:1000]\nCOMMAND: [device_active:1]\n"},
        {"every byte", everyByte, "COMMAND: [device_rpm:1000]\nCOMMAND: [device_active:1]\n"},
        {"empty messages", {";", ";"}, "COMMAND: []\nCOMMAND: []\n"},
        {"line feed starts the next", {"a;\nb", ";"}, "COMMAND: [a]\nCOMMAND: [\\nb]\n"},
    };
    TcpClient client(server->port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t start = out.text().size();
        sendSpread(client, c.segments);
        ASSERT_TRUE(waitUntil([&] { return out.text().size() >= start + c.echoes.size(); }));
        EXPECT_EQ(out.text().substr(start), c.echoes);
    }
    // The parser saw them in order; its settings belong to the server thread until it ends.
    server->stop();
    thread.join();
    EXPECT_EQ(Stand::rpm.load(), 1000);
    EXPECT_EQ(Stand::active, 1);
}

TEST_F(ServerTest, OversizedMessageIsDroppedWholeAndParsingResumes) {
    ASSERT_NO_FATAL_FAILURE(start());
    TcpClient client(server->port());
    ASSERT_TRUE(client.connected());
    // 16 times the buffer: the client takes in 1 KB per 10 ms pass, so a megabyte would
    // cost ten seconds without proving more.
    client.send(std::string(64 * 1024, 'x') + ";device_rpm:7;");

    ASSERT_TRUE(out.waitFor("COMMAND: [device_rpm:7]\n", 1, 10000ms));
    EXPECT_EQ(out.count("Message longer than 4096 bytes dropped\n"), 1u);
    EXPECT_EQ(out.count("COMMAND: [x"), 0u);

    // A message of exactly the limit is still taken.
    client.send(std::string(MessageFramer::MESSAGE_LIMIT, 'y') + ";");
    ASSERT_TRUE(out.waitFor("COMMAND: [" + std::string(MessageFramer::MESSAGE_LIMIT, 'y') + "]\n"));
    EXPECT_EQ(out.count("dropped"), 1u);
}

TEST_F(ServerTest, NextClientIsServedAfterTheFirstLeaves) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto first = std::make_unique<TcpClient>(server->port());
    ASSERT_TRUE(first->connected());
    first->send("first;");
    ASSERT_TRUE(out.waitFor("COMMAND: [first]\n"));

    // Waits in the backlog while the first is served.
    TcpClient second(server->port());
    ASSERT_TRUE(second.connected());
    second.send("second;");
    first->send("third;partial");
    ASSERT_TRUE(out.waitFor("COMMAND: [third]\n"));
    EXPECT_EQ(out.count("COMMAND: [second]"), 0u);

    first.reset();
    ASSERT_TRUE(err.waitFor("Client crush\n"));
    ASSERT_TRUE(out.waitFor("COMMAND: [second]\n"));
    EXPECT_EQ(out.count("partial"), 0u);
    EXPECT_EQ(out.count("Connection established.\n"), 2u);
}

TEST_F(ServerTest, ResetConnectionEndsLikeAClose) {
    ASSERT_NO_FATAL_FAILURE(start());
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address = harness::loopback(server->port());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);

    // Said as a close is said.
    ASSERT_TRUE(err.waitFor("Client crush\n"));
    EXPECT_TRUE(out.waitFor("Waiting for connection...\n", 2));
    TcpClient next(server->port());
    next.send("after;");
    EXPECT_TRUE(out.waitFor("COMMAND: [after]\n"));
}

TEST_F(ServerTest, OutOfDescriptorsTheClientIsStillTaken) {
    ASSERT_NO_FATAL_FAILURE(start());
    // The clients' sockets exist before the limit; they connect once nothing is left.
    FileDescriptor first(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    FileDescriptor second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(second.valid());
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    sockaddr_in address = harness::loopback(server->port());
    // The spare descriptor the server keeps takes the first at once...
    const bool connected =
        ::connect(first.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const bool served = connected && out.waitFor("Connection established.\n", 1);
    // ...and the one its connection leaves takes the next.
    const bool connectedNext =
        ::connect(second.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    first.reset();
    const bool servedNext = connectedNext && err.waitFor("Client crush\n") &&
                            out.waitFor("Connection established.\n", 2);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(served);
    ASSERT_TRUE(connectedNext);
    ASSERT_TRUE(servedNext);

    ASSERT_EQ(::send(second.get(), "served;", 7, MSG_NOSIGNAL), 7);
    EXPECT_TRUE(out.waitFor("COMMAND: [served]\n"));
    EXPECT_EQ(err.count("Error accept"), 0u);
}

TEST_F(ServerTest, PortInUseFailsToListen) {
    ASSERT_NO_FATAL_FAILURE(start());
    TcpServer second(server->port());
    EXPECT_FALSE(second.listen());
    EXPECT_TRUE(err.waitFor("Cant bind socket: Address already in use\n"));
}

// ---- Messages queued by other threads, clients that stop reading ----

TEST_F(ServerTest, EveryMessageQueuedByAnotherThreadArrivesInOrder) {
    ASSERT_NO_FATAL_FAILURE(start());
    TcpClient client(server->port());
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

TEST_F(ServerTest, ClientThatStopsReadingHoldsUpNeitherParserNorFraming) {
    ASSERT_NO_FATAL_FAILURE(start());
    FileDescriptor client = connectClient(4096);
    ASSERT_TRUE(client.valid());
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

// ---- Clients whose machine dies ----

TEST_F(ServerTest, ClientConnectionHasKeepAliveOfAboutThirtySeconds) {
    ASSERT_NO_FATAL_FAILURE(start(std::chrono::seconds(30)));
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

TEST_F(ServerTest, DeadClientWithMessagesWaitingIsDroppedAndTheNextServed) {
    ASSERT_NO_FATAL_FAILURE(start(std::chrono::seconds(3)));
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

TEST_F(ServerTest, DeadIdleClientIsDroppedByKeepAlive) {
    ASSERT_NO_FATAL_FAILURE(start(std::chrono::seconds(6)));
    FileDescriptor dead = connectClient();
    ASSERT_TRUE(dead.valid());
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    ASSERT_TRUE(dieSilently(dead.get()));

    TcpClient next(server->port());
    ASSERT_TRUE(next.connected());
    EXPECT_TRUE(err.waitFor("Error recv: Connection timed out\n", 1, 30000ms)) << err.text();
    EXPECT_TRUE(out.waitFor("Connection established.\n", 2));
}

TEST_F(ServerTest, ClientThatStopsReadingKeepsItsConnectionPastTheTimeout) {
    ASSERT_NO_FATAL_FAILURE(start(std::chrono::seconds(1)));
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
