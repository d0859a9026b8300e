// Observers on the monitor port beside the control client, through the real daemon and
// simulated boards: the same messages in the same order, the current values first, read-only,
// the status block, a slow observer that loses only its own messages, and a monitor port that
// cannot be had.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feedclient.h"
#include "protocol/codes.h"
#include "service/filedescriptor.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;
using fault_e2e::FeedClient;
using sim_e2e::SimBench;

namespace {

std::string keyOf(const std::string& message) {
    return message.substr(0, message.find(':'));
}

bool isAnnouncement(const std::string& message) {
    return message.rfind("device_connected:", 0) == 0;
}

// The daemon with its monitor on a free port; started again should another process take that
// port first.
std::unique_ptr<SimBench> benchWithMonitor(const std::vector<std::string>& boards,
                                           uint16_t& monitorPort,
                                           std::vector<std::string> args = {}) {
    std::unique_ptr<SimBench> bench;
    for (int attempt = 0; attempt < 4; ++attempt) {
        monitorPort = freePort();
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--monitor-port", std::to_string(monitorPort)});
        bench = std::make_unique<SimBench>(boards, all);
        if (bench->daemon().err().find("Monitor port") == std::string::npos) {
            break;
        }
    }
    return bench;
}

// The longest run of `sent`, from its first message, that `seen` holds back to back.
std::size_t longestRun(const std::vector<std::string>& sent, const std::vector<std::string>& seen) {
    std::size_t best = 0;
    for (std::size_t start = 0; start < seen.size(); ++start) {
        std::size_t n = 0;
        while (n < sent.size() && start + n < seen.size() && seen[start + n] == sent[n]) {
            ++n;
        }
        best = std::max(best, n);
    }
    return best;
}

// `part` reaches `whole` back to back and in the same order, once `whole` has had time to
// get it.
void expectWithin(const std::vector<std::string>& part, const FeedClient& whole) {
    const std::size_t target = whole.size() + 20;
    waitUntil([&] { return whole.size() >= target; }, 30000ms);
    EXPECT_GE(part.size(), 20u);
    EXPECT_EQ(longestRun(part, whole.messages()), part.size())
        << "the observer's messages part from the control client's";
}

// What the control client got from the queue so far (what follows its announcements).
std::vector<std::string> queuedPart(const FeedClient& control) {
    std::vector<std::string> sent = control.messages();
    sent.erase(sent.begin(), std::find_if_not(sent.begin(), sent.end(), isAnnouncement));
    return sent;
}

// The listening TCP ports of a process.
std::set<uint16_t> listeningPorts(pid_t pid) {
    std::set<std::string> inodes;
    for (int fd = 0; fd < 1024; ++fd) {
        char target[256];
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            std::cmatch inode;
            if (std::regex_match(target, inode, std::regex("socket:\\[(\\d+)\\]"))) {
                inodes.insert(inode[1]);
            }
        }
    }
    std::set<uint16_t> ports;
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state == "0A" && inodes.count(inode) != 0) {
            ports.insert(
                static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
        }
    }
    return ports;
}

// A stand and a flowmeter reporting, the monitor on a free port.
class MonitorE2E : public ::testing::Test {
protected:
    void SetUp() override {
        bench = benchWithMonitor({"stand62=ttyUSB0", "flowmeter=ttyUSB1"}, monitorPort);
    }

    // An observer that has had the announcements of both boards.
    std::unique_ptr<FeedClient> observer() const {
        auto client = std::make_unique<FeedClient>(monitorPort);
        EXPECT_TRUE(client->waitForCount("device_connected", 2, 20000ms));
        return client;
    }

    uint16_t monitorPort = 0;
    std::unique_ptr<SimBench> bench;
};

TEST_F(MonitorE2E, ObserversGetTheClientsMessagesInItsOrderAndTheCurrentValuesFirst) {
    std::vector<std::unique_ptr<FeedClient>> observers;
    for (int i = 0; i < 3; ++i) {
        observers.push_back(observer());
    }
    FeedClient control(bench->port());
    ASSERT_TRUE(control.waitForCount("flowmeter_flow", 15, 20000ms));
    for (const auto& watching : observers) {
        expectWithin(queuedPart(control), *watching);
    }

    // One coming later gets the boards, then one current value per key in key order, then the
    // stream.
    std::set<std::string> keysSoFar;
    for (const std::string& message : observers[0]->messages()) {
        if (!isAnnouncement(message)) {
            keysSoFar.insert(keyOf(message));
        }
    }
    const auto late = observer();
    ASSERT_TRUE(waitUntil([&] { return late->size() >= keysSoFar.size() + 10; }, 20000ms));
    const std::vector<std::string> got = late->messages();
    EXPECT_EQ(got[0], "device_connected:62;");
    EXPECT_EQ(got[1], "device_connected:12;");
    std::set<std::string> snapshot;
    std::size_t live = 2;
    for (; live < got.size() && (live == 2 || keyOf(got[live - 1]) < keyOf(got[live])); ++live) {
        snapshot.insert(keyOf(got[live]));
    }
    for (const std::string& key : keysSoFar) {
        EXPECT_EQ(snapshot.count(key), 1u) << key << " missing from the current values";
    }
    ASSERT_TRUE(waitUntil([&] { return late->size() >= live + 30; }, 20000ms));
    const std::vector<std::string> all = late->messages();
    expectWithin(std::vector<std::string>(all.begin() + live, all.end()), control);
}

TEST_F(MonitorE2E, ObserverAsksForStatusAndChangesNothing) {
    FeedClient control(bench->port());
    ASSERT_TRUE(control.waitForCount("flowmeter_flow", 5, 20000ms));
    const auto watching = observer();

    // Read-only: refused in-band, and the stand gets the control client's speed that follows,
    // never the observer's.
    watching->send("device_rpm:1500;");
    ASSERT_TRUE(watching->waitFor("monitor_error:read-only: device_rpm ignored;", 0, 10000ms));
    control.send("device_rpm:1200;");
    auto speeds = [&] {
        std::vector<unsigned> set;
        for (const sim_e2e::SimFrame& frame : bench->frames("ttyUSB0", true)) {
            if (frame.code() == codes::ROTATION_SPEED) {
                set.push_back(sim_e2e::be16(frame.payload(), 0));
            }
        }
        return set;
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::vector<unsigned> set = speeds();
            return std::find(set.begin(), set.end(), 1200u) != set.end();
        },
        10000ms));
    const std::vector<unsigned> set = speeds();
    EXPECT_EQ(std::count(set.begin(), set.end(), 1500u), 0);
    EXPECT_EQ(bench->daemonCount("COMMAND: [device_rpm:1500]"), 0u);

    // An over-long message is dropped whole with one refusal; what follows its ";" is read.
    const std::size_t before = watching->size();
    watching->send(std::string(9000, 'x') + ";status;");
    ASSERT_TRUE(watching->waitFor("status_end:1;", before, 10000ms));
    EXPECT_EQ(watching->count("monitor_error", before), 1u);
    EXPECT_NE(watching->find("monitor_error:message longer than 4096 bytes dropped;", before),
              std::string::npos);

    // Every port with its counters, which grow as frames flow.
    const std::regex port(
        "status_port:(ttyUSB[01]),(\\d+),(on|off),frames (\\d+),crc failures "
        "\\d+,[a-z ,0-9]*frames dropped \\d+;");
    std::map<std::string, unsigned long> frames[2];
    for (auto& round : frames) {
        const std::size_t from = watching->size();
        watching->send("status;");
        ASSERT_TRUE(watching->waitFor("status_end:1;", from, 10000ms));
        std::vector<std::string> block = watching->messages(from);
        block.erase(std::remove_if(block.begin(), block.end(),
                                   [](const std::string& m) { return m.rfind("status_", 0) != 0; }),
                    block.end());
        ASSERT_EQ(block.size(), 8u);
        EXPECT_TRUE(std::regex_match(block[0], std::regex("status_version:\\d+\\.\\d+\\.\\d+;")));
        EXPECT_TRUE(std::regex_match(block[1], std::regex("status_uptime:\\d+;")));
        EXPECT_TRUE(std::regex_match(block[2], std::regex("status_client:127\\.0\\.0\\.1:\\d+;")));
        EXPECT_EQ(block[3], "status_observers:1;");
        EXPECT_TRUE(std::regex_match(block[4], std::regex("status_stand_setpoint:-?\\d+;")));
        for (const std::string& line : {block[5], block[6]}) {
            std::smatch fields;
            ASSERT_TRUE(std::regex_match(line, fields, port)) << line;
            EXPECT_EQ(fields[2], fields[1] == "ttyUSB0" ? "62" : "12");
            EXPECT_EQ(fields[3], "off") << "pseudo-terminals take no low-latency setting";
            round[fields[1]] = std::stoul(fields[4]);
        }
        EXPECT_EQ(block[7], "status_end:1;");
        const std::size_t reports = control.size();
        ASSERT_TRUE(waitUntil([&] { return control.size() >= reports + 10; }, 10000ms));
    }
    EXPECT_GT(frames[1]["ttyUSB0"], frames[0]["ttyUSB0"]);
    EXPECT_GT(frames[1]["ttyUSB1"], frames[0]["ttyUSB1"]);
}

// Two injector testers recording oscillograms: a stream fast enough to fill a stalled
// observer's small buffer in seconds.
TEST(MonitorLoadE2E, SlowObserverLosesOnlyItsOwnMessagesAndANinthIsRefused) {
    uint16_t monitorPort = 0;
    const auto bench = benchWithMonitor({"crit=ttyUSB0", "crit0303=ttyUSB1"}, monitorPort,
                                        {"--monitor-buffer", "16384"});
    FeedClient control(bench->port());
    ASSERT_TRUE(control.waitForCount("device_connected", 2, 20000ms));
    std::vector<std::unique_ptr<FeedClient>> observers;
    for (int i = 0; i < 8; ++i) {
        // The first one reads slowly: a small receive buffer fills at once.
        observers.push_back(std::make_unique<FeedClient>(monitorPort, i == 0 ? 4096 : 0));
        ASSERT_TRUE(observers.back()->waitForCount("device_connected", 2, 20000ms));
    }
    FeedClient ninth(monitorPort);
    EXPECT_TRUE(ninth.waitFor("monitor_error:too many observers (8);", 0, 10000ms));
    EXPECT_TRUE(waitUntil([&] { return ninth.ended(); }, 10000ms));

    control.send("osc:1;");
    ASSERT_TRUE(control.waitForCount("injector_chart6", 2, 20000ms));
    FeedClient& slow = *observers[0];
    slow.pauseReading(true);
    // Far more than the slow one's buffer and both socket buffers hold.
    const uint64_t bytesAtPause = control.bytes();
    ASSERT_TRUE(waitUntil([&] { return control.bytes() > bytesAtPause + 200000; }, 90000ms));
    const std::size_t chartsAtResume = control.count("injector_chart");
    slow.pauseReading(false);
    ASSERT_TRUE(slow.waitForCount("monitor_dropped", 1, 20000ms));
    const std::vector<std::string> got = slow.messages();
    const std::size_t notice =
        std::find_if(got.begin(), got.end(),
                     [](const std::string& m) { return keyOf(m) == "monitor_dropped"; }) -
        got.begin();
    const std::string dropped = got.at(notice);
    EXPECT_GT(std::stoul(dropped.substr(dropped.find(':') + 1)), 10u) << dropped;
    // Then it is served again.
    EXPECT_TRUE(waitUntil([&] { return slow.count("injector_chart", notice) >= 6; }, 20000ms));
    EXPECT_GE(control.count("injector_chart"), chartsAtResume);
    EXPECT_EQ(bench->daemonCount("Client queue full"), 0u) << "the control client lost none";

    // The others and the control client lost nothing.
    for (std::size_t i = 1; i < observers.size(); ++i) {
        EXPECT_EQ(observers[i]->count("monitor_dropped"), 0u);
        expectWithin(queuedPart(control), *observers[i]);
    }
}

TEST(MonitorPortE2E, TakenPortLeavesTheDaemonServingAndPortZeroOpensNothing) {
    // Another process holds the port.
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint16_t taken = ntohs(address.sin_port);
    {
        TempDir dir;
        uint16_t port = 0;
        auto daemon =
            startDaemon({"--dev-dir", dir.path(), "--monitor-port", std::to_string(taken)}, port);
        EXPECT_TRUE(daemon->waitForErr("Monitor port " + std::to_string(taken) +
                                       " not opened: Address already in use; serving without "
                                       "observers\n"));
        TcpClient client(port);
        EXPECT_TRUE(daemon->waitForOut("Connection established.\n"));
        EXPECT_EQ(listeningPorts(daemon->pid()), std::set<uint16_t>{port});
    }
    ::close(holder);

    // The tests' daemons run with --monitor-port 0 unless told otherwise.
    Daemon plain;
    EXPECT_EQ(listeningPorts(plain.process->pid()), std::set<uint16_t>{plain.port});

    // A control client whose connection is reset is said as a closed one is.
    {
        FileDescriptor reset(fault_e2e::connectTo(plain.port));
        ASSERT_TRUE(plain.process->waitForOut("Connection established.\n"));
        linger hard{1, 0};
        ::setsockopt(reset.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    EXPECT_TRUE(plain.process->waitForErr("Client crush\n"));
}

}  // namespace
