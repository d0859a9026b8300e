// benchd as a service: readiness, status and watchdog pings to the service manager, the
// boards' safe state when the control client is lost, and the stop on SIGTERM or SIGINT.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/stand.h"
#include "client/failsafe.h"
#include "client/tcpcommandparser.h"
#include "faultbench.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "rawboard.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;
using Clock = std::chrono::steady_clock;

namespace {

// A frame without its start, type, number and CRC: what the command says.
Bytes body(const Bytes& frame) {
    return Bytes(frame.begin() + 4, frame.end() - 1);
}

// What the safe state comes to on a board of `device`, worked out by this process's own parser
// on a board without a port.
std::vector<Bytes> expectedSafeState(int device) {
    std::shared_ptr<Channel> channel = putIdleChannel("expected", device);
    for (const std::string& setting : FailSafe::settings()) {
        TcpCommandParser::parse(setting);
    }
    std::vector<Bytes> frames;
    while (std::unique_ptr<Command> command = channel->sendManager->popQueued()) {
        command->createCommand();
        frames.push_back(body(Bytes(command->buffer, command->buffer + command->size())));
    }
    {
        MutexLock lock(channelMapMutex);
        channelMap.erase("expected");
    }
    CRIT::restoreDefaults();
    Stand::restoreDefaults();
    return frames;
}

// A stand and an injector tester on ttyUSB0 and ttyUSB1, and the daemon, with `args`, once
// both boards are identified and configured.
struct ServiceBench {
    explicit ServiceBench(std::vector<std::string> args, std::vector<std::string> env = {}) {
        dir.link("ttyUSB0", stand.slavePath());
        dir.link("ttyUSB1", tester.slavePath());
        args.insert(args.end(), {"--dev-dir", dir.path()});
        daemon = startDaemon(args, port, env);
    }

    bool configured() {
        return waitUntil(
            [&] {
                return schedules(stand) >= 2 + scheduleEntries(known_devices::STAND).size() &&
                       schedules(tester) >= 2 + scheduleEntries(known_devices::CRIT0304).size();
            },
            10000ms);
    }

    static std::size_t schedules(const RawBoard& board) {
        std::size_t count = 0;
        for (const HostFrame& frame : board.hostFrames()) {
            count += frame.code() == codes::SCHEDULE ? 1 : 0;
        }
        return count;
    }

    // The host's commands to `board` since `since`: neither the handshake nor the schedule.
    static std::vector<Bytes> commandsSince(const RawBoard& board, Clock::time_point since) {
        std::vector<Bytes> commands;
        for (const HostFrame& frame : withoutRetries(board.hostFrames())) {
            if (frame.at >= since && !frame.isVersionRequest() && frame.code() != codes::SCHEDULE) {
                commands.push_back(body(frame.bytes));
            }
        }
        return commands;
    }

    std::size_t count(const std::string& text) const { return occurrences(daemon->out(), text); }

    RawBoard stand{known_devices::STAND};
    RawBoard tester{known_devices::CRIT0304};
    TempDir dir;
    uint16_t port = 0;
    std::unique_ptr<Process> daemon;
};

// A client that connects and ends its connection with a reset instead of a close.
void resetConnection(uint16_t port, ServiceBench& bench) {
    const std::size_t before = bench.count("Connection established.");
    FileDescriptor fd = harness::connectOnce(port);
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(waitUntil([&] { return bench.count("Connection established.") > before; }));
    linger hard{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

}  // namespace

TEST(ServiceE2E, TellsTheServiceManagerReadinessStatusAndWatchdog) {
    NotifySocket manager;
    TempDir dir;
    uint16_t port = 0;
    std::unique_ptr<Process> daemon =
        startDaemon({"--dev-dir", dir.path()}, port,
                    {"NOTIFY_SOCKET=" + manager.path(), "WATCHDOG_USEC=2000000"});
    ASSERT_TRUE(manager.waitFor("READY=1"));
    // Ready means the port is bound: a client gets in at once.
    auto client = std::make_unique<TcpClient>(port, 1000ms);
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(manager.waitFor("STATUS=0 boards identified; client connected"));
    client.reset();
    // Pinged at half the interval: three pings take about two seconds.
    EXPECT_TRUE(waitUntil([&] { return manager.count("WATCHDOG=1") >= 3; }, 10000ms));

    RawBoard stand(known_devices::STAND);
    dir.link("ttyUSB0", stand.slavePath());
    EXPECT_TRUE(manager.waitFor("STATUS=1 board identified (ttyUSB0 stand 61); no client", 10000ms))
        << manager.messages().back();
    EXPECT_EQ(daemon->stop(SIGTERM), 0);
    EXPECT_EQ(manager.messages().back(), "STOPPING=1");
}

// Closed, reset, and a client back within the delay: the safe state goes out once per loss,
// exactly, on each board's line, and not when a client is back in time.
TEST(ServiceE2E, LostClientPutsTheBoardsInTheirSafeState) {
    const std::vector<Bytes> standSafe = expectedSafeState(known_devices::STAND);
    const std::vector<Bytes> testerSafe = expectedSafeState(known_devices::CRIT0304);
    ASSERT_FALSE(standSafe.empty());
    ASSERT_FALSE(testerSafe.empty());

    ServiceBench bench({"--failsafe", "1"});
    ASSERT_TRUE(bench.configured());
    const std::string line = "Fail-safe: control client lost for 1 s";
    struct Loss {
        const char* what;
        std::function<void()> lose;
    };
    const Loss losses[] = {
        {"closed", [&] { TcpClient(bench.port).close(); }},
        {"reset", [&] { resetConnection(bench.port, bench); }},
    };
    std::size_t lines = 0;
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.what);
        const auto lost = Clock::now();
        loss.lose();
        ASSERT_TRUE(waitUntil([&] { return bench.count(line) == lines + 1; }, 5000ms));
        ++lines;
        figure("fail-safe after a %s connection: %.2f s", loss.what,
               std::chrono::duration<double>(Clock::now() - lost).count());
        // Sent once: nothing more follows while no client is there.
        EXPECT_FALSE(waitUntil(
            [&] {
                return ServiceBench::commandsSince(bench.stand, lost).size() > standSafe.size();
            },
            1500ms));
        EXPECT_EQ(ServiceBench::commandsSince(bench.stand, lost), standSafe);
        EXPECT_EQ(ServiceBench::commandsSince(bench.tester, lost), testerSafe);
    }

    // Back within the second: nothing is sent.
    const auto lost = Clock::now();
    TcpClient(bench.port).close();
    TcpClient back(bench.port);
    ASSERT_TRUE(waitUntil([&] { return bench.count("Connection established.") == 4; }));
    EXPECT_FALSE(waitUntil([&] { return bench.count(line) > lines; }, 2500ms));
    EXPECT_TRUE(ServiceBench::commandsSince(bench.stand, lost).empty());
    EXPECT_TRUE(ServiceBench::commandsSince(bench.tester, lost).empty());
}

// The stand's link goes while it runs, the client goes, the fail-safe fires with no board
// there: the stand that comes back gets the safe state as soon as it is identified, once, and
// a client that connects ends that.
TEST(ServiceE2E, SafeStateReachesABoardThatComesBackWhileNoClientIs) {
    const std::vector<Bytes> standSafe = expectedSafeState(known_devices::STAND);
    ServiceBench bench({"--failsafe", "2"});
    ASSERT_TRUE(bench.configured());
    {
        TcpClient client(bench.port);
        client.send("device_active:1;device_rpm:1500;");
        ASSERT_TRUE(bench.daemon->waitForOut("COMMAND: [device_rpm:1500]"));
        bench.dir.unlink("ttyUSB0");
        bench.dir.unlink("ttyUSB1");
        ASSERT_TRUE(waitUntil([&] { return bench.count("Device disconnected") == 2; }, 10000ms));
    }
    ASSERT_TRUE(bench.daemon->waitForOut(
        "Fail-safe: control client lost for 2 s, boards set to their safe state (no board "
        "identified)\n",
        10000ms));

    const auto back = Clock::now();
    bench.dir.link("ttyUSB0", bench.stand.slavePath());
    ASSERT_TRUE(waitUntil(
        [&] { return ServiceBench::commandsSince(bench.stand, back).size() >= standSafe.size(); },
        10000ms));
    figure("safe state on the stand %.2f s after its link came back",
           std::chrono::duration<double>(Clock::now() - back).count());
    EXPECT_TRUE(bench.daemon->waitForOut(
        "Fail-safe: no control client, board set to its safe state on identification (ttyUSB0 "
        "stand 61)\n"));
    // Once: nothing more while the stand stays.
    EXPECT_FALSE(waitUntil(
        [&] { return ServiceBench::commandsSince(bench.stand, back).size() > standSafe.size(); },
        1500ms));
    EXPECT_EQ(ServiceBench::commandsSince(bench.stand, back), standSafe);

    // A client is back: the bench is its to set, and a board that comes back keeps its
    // settings.
    TcpClient again(bench.port);
    ASSERT_TRUE(waitUntil([&] { return bench.count("Connection established.") == 2; }));
    const auto later = Clock::now();
    bench.dir.link("ttyUSB1", bench.tester.slavePath());
    ASSERT_TRUE(waitUntil([&] { return bench.count("DEVICE CONNECTED: CRIT") == 2; }, 10000ms));
    EXPECT_FALSE(waitUntil(
        [&] { return !ServiceBench::commandsSince(bench.tester, later).empty(); }, 1500ms));
    EXPECT_EQ(bench.count("Fail-safe"), 2u);
}

TEST(ServiceE2E, WithoutTheOptionALostClientChangesNothing) {
    ServiceBench bench({});
    ASSERT_TRUE(bench.configured());
    const auto lost = Clock::now();
    TcpClient(bench.port).close();
    EXPECT_FALSE(
        waitUntil([&] { return !ServiceBench::commandsSince(bench.stand, lost).empty(); }, 2500ms));
    EXPECT_TRUE(ServiceBench::commandsSince(bench.tester, lost).empty());
    EXPECT_EQ(bench.count("Fail-safe"), 0u);
}

// A stop with boards and a client: exit 0 within two seconds (asserted with room for a busy
// machine), the safe state on the lines first when asked for.
TEST(ServiceE2E, StopSignalEndsCleanlyAndQuickly) {
    const std::vector<Bytes> standSafe = expectedSafeState(known_devices::STAND);
    struct Case {
        std::vector<std::string> args;
        int signal;
        bool safeState;
    };
    const Case cases[] = {{{"--failsafe", "30"}, SIGTERM, true}, {{}, SIGINT, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signal);
        ServiceBench bench(c.args);
        ASSERT_TRUE(bench.configured());
        TcpClient client(bench.port);
        ASSERT_TRUE(client.waitFor("device_connected:61;"));
        const auto stopped = Clock::now();
        ::kill(bench.daemon->pid(), c.signal);
        EXPECT_EQ(bench.daemon->wait(5000ms), 0) << bench.daemon->err();
        const double seconds = std::chrono::duration<double>(Clock::now() - stopped).count();
        figure("stopped by signal %d in %.2f s", c.signal, seconds);
        EXPECT_LT(seconds, 5.0);
        const auto sent = ServiceBench::commandsSince(bench.stand, stopped);
        EXPECT_EQ(sent, c.safeState ? standSafe : std::vector<Bytes>{});
    }
}

// The boards do not acknowledge the safe state, so the stop waits for them: a second signal
// ends the process at once.
TEST(ServiceE2E, SecondSignalEndsTheProcessAtOnce) {
    ServiceBench bench({"--failsafe", "30"});
    ASSERT_TRUE(bench.configured());
    bench.stand.setAcknowledging(false);
    ::kill(bench.daemon->pid(), SIGTERM);
    ASSERT_TRUE(bench.daemon->waitForOut("Fail-safe: benchd stopping"));
    ::kill(bench.daemon->pid(), SIGTERM);
    EXPECT_EQ(bench.daemon->wait(5000ms), 128 + SIGTERM);
}
