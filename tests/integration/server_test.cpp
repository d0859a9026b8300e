#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A fresh server's connection lines: the throttle that counts them is process-wide.
        consoleThrottle().clear();
        ASSERT_TRUE(server.listen());
        ASSERT_NE(server.port(), 0);
        thread = std::thread([this] { server.connect(); });
        ASSERT_TRUE(out.waitFor("Waiting for connection...\n"));
    }

    void TearDown() override {
        server.stop();
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

    ConsoleCapture out{1};
    ConsoleCapture err{2};
    TcpServer server{0, "127.0.0.1"};
    std::thread thread;
    std::vector<std::string> names;
};

}  // namespace

TEST_F(ServerTest, NewClientGetsIdentifiedBoardsThenOnlyFreshMessages) {
    addChannel("ttyUSB1", 61);
    addChannel("ttyUSB0", 33);
    addChannel("ttyS0", 255);
    pushMessage("device_rpm:1;");

    TcpClient client(server.port());
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
    TcpClient client(server.port());
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
    server.stop();
    thread.join();
    EXPECT_EQ(Stand::rpm.load(), 1000);
    EXPECT_EQ(Stand::active, 1);
}

TEST_F(ServerTest, OversizedMessageIsDroppedWholeAndParsingResumes) {
    TcpClient client(server.port());
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
    auto first = std::make_unique<TcpClient>(server.port());
    ASSERT_TRUE(first->connected());
    first->send("first;");
    ASSERT_TRUE(out.waitFor("COMMAND: [first]\n"));

    // Waits in the backlog while the first is served.
    TcpClient second(server.port());
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
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address = loopback(server.port());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(out.waitFor("Connection established.\n"));
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);

    // Said as a close is said.
    ASSERT_TRUE(err.waitFor("Client crush\n"));
    EXPECT_TRUE(out.waitFor("Waiting for connection...\n", 2));
    TcpClient next(server.port());
    next.send("after;");
    EXPECT_TRUE(out.waitFor("COMMAND: [after]\n"));
}

TEST_F(ServerTest, OutOfDescriptorsTheClientIsStillTaken) {
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
    sockaddr_in address = loopback(server.port());
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
    TcpServer second(server.port());
    EXPECT_FALSE(second.listen());
    EXPECT_TRUE(err.waitFor("Cant bind socket: Address already in use\n"));
}
