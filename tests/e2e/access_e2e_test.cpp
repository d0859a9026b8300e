// Who may connect: with --allow and --monitor-allow, a connection from elsewhere is closed at
// once, unread, said and counted, while the allowed client and observers are served as usual.
// The loopback network is all of 127/8, so 127.0.0.1 and 127.0.0.2 stand for two machines.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "faultbench.h"
#include "feedclient.h"
#include "protocol/deviceids.h"
#include "rawboard.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;
using Clock = std::chrono::steady_clock;

namespace {

// The daemon with a stand, `args` and a monitor port of its own.
struct AccessBench {
    explicit AccessBench(const std::vector<std::string>& args) {
        dir.link("ttyUSB0", stand.slavePath());
        for (int attempt = 0; attempt < 4; ++attempt) {
            monitorPort = freePort();
            std::vector<std::string> all = args;
            all.insert(all.end(),
                       {"--dev-dir", dir.path(), "--monitor-port", std::to_string(monitorPort)});
            daemon = startDaemon(all, port);
            if (daemon->err().find("Monitor port") == std::string::npos) {
                break;
            }
        }
    }

    std::size_t count(const std::string& text) const { return occurrences(daemon->out(), text); }

    RawBoard stand{known_devices::STAND};
    TempDir dir;
    uint16_t port = 0;
    uint16_t monitorPort = 0;
    std::unique_ptr<Process> daemon;
};

// A connection from `from` that the daemon must close at once: it sends a setting, receives
// nothing and is closed. Returns how long the close took.
double expectRefused(uint16_t port, const std::string& from) {
    const auto began = Clock::now();
    FeedClient refused(port, 0, from);
    EXPECT_TRUE(refused.connected());
    refused.send("device_rpm:3000;status;");
    EXPECT_TRUE(waitUntil([&] { return refused.ended(); }, 5000ms));
    EXPECT_EQ(refused.bytes(), 0u);
    return std::chrono::duration<double>(Clock::now() - began).count();
}

}  // namespace

TEST(AccessE2E, RefusedPeersAreClosedAndSaidWhileTheAllowedOnesAreServed) {
    AccessBench bench({"--allow", "127.0.0.2", "--monitor-allow", "127.0.0.2,::1"});
    FeedClient client(bench.port, 0, "127.0.0.2");
    ASSERT_TRUE(client.waitFor("device_connected:61;", 0, 10000ms));

    // Closed while the allowed client is served, not when it has gone.
    const double control = expectRefused(bench.port, "127.0.0.1");
    figure("refused control connection closed after %.3f s", control);
    EXPECT_TRUE(bench.daemon->waitForOut("Refused client from 127.0.0.1: not allowed\n"));

    // The client keeps its session: its settings are parsed, the refused one's never were.
    client.send("device_rpm:1500;");
    EXPECT_TRUE(bench.daemon->waitForOut("COMMAND: [device_rpm:1500]"));
    EXPECT_FALSE(client.ended());
    EXPECT_EQ(bench.count("COMMAND: [device_rpm:3000]"), 0u);
    EXPECT_EQ(bench.count("Connection established."), 1u);

    const double monitor = expectRefused(bench.monitorPort, "127.0.0.1");
    figure("refused observer closed after %.3f s", monitor);
    EXPECT_TRUE(
        bench.daemon->waitForOut("Monitor: refused observer from 127.0.0.1: not allowed\n"));

    // An allowed observer is served, and the status block counts both refusals.
    FeedClient observer(bench.monitorPort, 0, "127.0.0.2");
    ASSERT_TRUE(observer.waitFor("device_connected:61;", 0, 10000ms));
    observer.send("status;");
    ASSERT_TRUE(observer.waitFor("status_end:1;", 0, 5000ms));
    EXPECT_NE(observer.find("status_refused:control 1,monitor 1;"), std::string::npos);
    EXPECT_FALSE(client.ended());
    EXPECT_EQ(bench.daemon->stop(SIGTERM), 0);
}

// Refused connections while no client is served, and between two: the next allowed client is
// served, and the refusals of a storm are said in their first lines, then counted.
TEST(AccessE2E, RefusedStormLeavesTheNextAllowedClientServed) {
    AccessBench bench({"--allow", "127.0.0.2/32"});
    constexpr int STORM = 300;
    const auto began = Clock::now();
    for (int i = 0; i < STORM; ++i) {
        // Each one closed by the daemon before the next: the kernel's short queue of connections
        // not yet accepted would otherwise overflow and slow the storm down.
        const int fd = connectTo(bench.port, 0, "127.0.0.1");
        ASSERT_GE(fd, 0) << "connection " << i;
        pollfd closed{fd, POLLIN, 0};
        char byte = 0;
        EXPECT_EQ(::poll(&closed, 1, 5000), 1) << "connection " << i;
        EXPECT_LE(::recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "connection " << i;
        ::close(fd);
    }
    figure("%d refused connections in %.2f s", STORM,
           std::chrono::duration<double>(Clock::now() - began).count());
    FeedClient client(bench.port, 0, "127.0.0.2");
    ASSERT_TRUE(client.waitFor("device_connected:61;", 0, 30000ms));
    const std::size_t lines = bench.count("Refused client from 127.0.0.1: not allowed");
    figure("%d refused connections: %zu console lines", STORM, lines);
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 22u);
    EXPECT_EQ(bench.count("Connection established."), 1u);
}
