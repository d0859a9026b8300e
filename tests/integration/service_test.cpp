// The service's watchdog and fail-safe in one process: a channel thread that hangs stops the
// watchdog pings, and a client found dead by the server leads to the boards' safe state.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/boards.h"
#include "bench/crit.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "client/failsafe.h"
#include "client/tcpserver.h"
#include "consolecapture.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "protocol/deviceids.h"
#include "service/consolethrottle.h"
#include "service/notifier.h"
#include "service/outbox.h"
#include "testsupport.h"

using namespace testing_support;

// The decoder of a board held up on the decoders' lock (as a handler that never returns would
// hold it): the pings stop, and come back once it is released.
TEST(ServiceWatchdog, HungChannelThreadStopsThePings) {
    ConsoleCapture err{2};
    NotifySocket manager;
    ::setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "1000000", 1);
    Pty board;
    {
        ChannelOptions options;
        options.startPause = std::chrono::milliseconds(0);
        options.board = &benchBoards();
        options.board = &benchBoards();
        Channel channel(board.openSlave(), options, "ttyUSB0");
        Notifier notifier([] { return std::string("testing"); });
        notifier.ready();
        ASSERT_TRUE(waitUntil([&] { return manager.count("WATCHDOG=1") >= 2; }));

        std::unique_lock<Mutex> hold(decoderMutex);
        board.write(dataFrame(0, 2, 0, {61}));
        ASSERT_TRUE(err.waitFor("Watchdog: decoder ttyUSB0 has not checked in", 1, 10000ms));
        const std::size_t pings = manager.count("WATCHDOG=1");
        EXPECT_FALSE(waitUntil([&] { return manager.count("WATCHDOG=1") > pings; }, 1500ms));

        hold.unlock();
        EXPECT_TRUE(waitUntil([&] { return manager.count("WATCHDOG=1") > pings; }));
        EXPECT_TRUE(err.waitFor("Watchdog: every thread checks in again"));
    }
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
}

// A client whose machine died answers nothing: the server drops it after its client timeout,
// and the fail-safe follows its delay later, once.
TEST(ServiceFailSafe, ClientFoundDeadLeadsToTheSafeState) {
    ConsoleCapture out{1};
    std::shared_ptr<Channel> stand = putIdleChannel("ttyUSB0", known_devices::STAND);
    FailSafe failSafe{std::chrono::seconds(1)};
    // A fresh server's connection lines: the throttle that counts them is process-wide.
    consoleThrottle().clear();
    TcpServer server{0, "127.0.0.1"};
    server.setClientTimeout(std::chrono::seconds(2));
    server.setClientHook([&failSafe](bool connected) { failSafe.clientChanged(connected); });
    ASSERT_TRUE(server.listen());
    std::thread thread([&server] { server.connect(); });

    FileDescriptor client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.port());
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(out.waitFor("Connection established."));
    // From now on its kernel drops everything the server sends: no data, no ACK, no reset.
    sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    sock_fprog program{1, dropAll};
    ASSERT_EQ(::setsockopt(client.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program),
              0);
    pushMessage("telemetry:1;");

    EXPECT_TRUE(out.waitFor("Fail-safe: control client lost for 1 s", 1, 15000ms));
    EXPECT_GT(stand->sendManager->queued(), 0u);
    EXPECT_FALSE(out.waitFor("Fail-safe", 2, 1500ms));

    server.stop();
    thread.join();
    {
        MutexLock lock(channelMapMutex);
        channelMap.erase("ttyUSB0");
    }
    clearMessages();
    CRIT::restoreDefaults();
    Stand::restoreDefaults();
}
