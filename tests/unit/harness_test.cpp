// The harness that the tests, the benchmarks and benchsim share: what its callers rely on when
// things go wrong (exit statuses, hang-ups, refused connections), not its happy paths, which
// every end-to-end test walks.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "loopback.h"
#include "process.h"
#include "pty.h"
#include "tcpclient.h"
#include "tempdir.h"
#include "wait.h"

namespace {

using harness::Process;
using namespace std::chrono_literals;

TEST(Harness, ChildrenEndWithTheStatusTheirCallersRead) {
    const struct {
        std::vector<std::string> argv;
        int signal;  // 0: let it end by itself
        int status;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 3"}, 0, 3},
        {{"/nonexistent/program"}, 0, 127},
        {{"/bin/sh", "-c", "echo ready; exec sleep 30"}, SIGTERM, 128 + SIGTERM},
        {{"/bin/sh", "-c", "trap '' TERM; echo ready; exec sleep 30"},
         SIGTERM,
         128 + SIGKILL},  // past its grace
    };
    for (const auto& c : cases) {
        Process child(c.argv);
        // A signal is sent once the child is under way (its trap set).
        ASSERT_TRUE(c.signal == 0 || child.waitForOut("ready")) << c.argv.back();
        EXPECT_EQ(c.signal == 0 ? child.wait() : child.stop(c.signal, 300ms), c.status)
            << c.argv.back();
    }
}

TEST(Harness, OutputGoesWhereTheCallerSaid) {
    harness::TempDir dir;
    Process collected({"/bin/sh", "-c", "echo out; echo err >&2"});
    ASSERT_EQ(collected.wait(), 0);
    EXPECT_EQ(collected.out(), "out\n");
    EXPECT_EQ(collected.err(), "err\n");
    Process filed({"/bin/sh", "-c", "echo out; echo err >&2"},
                  Process::Options{{"GREETING=hello"}, 0, dir.path() + "/log", SIGTERM});
    ASSERT_EQ(filed.wait(), 0);
    EXPECT_EQ(filed.out(), "out\nerr\n");
    Process env({"/bin/sh", "-c", "echo $GREETING"}, {"GREETING=hello"});
    ASSERT_EQ(env.wait(), 0);
    EXPECT_EQ(env.out(), "hello\n");
}

TEST(Harness, AHeldSlaveCountsWhatTheHostHasNotRead) {
    harness::Pty held(true), plain;
    held.write({1, 2, 3});
    ASSERT_TRUE(harness::waitUntil([&] { return held.unread() == 3; }));
    EXPECT_EQ(plain.unread(), 0);  // nothing held, nothing to count
    FileDescriptor host = plain.openSlave();
    ASSERT_EQ(::write(host.get(), "ab", 2), 2);
    EXPECT_EQ(plain.readAtLeast(2), (harness::Bytes{'a', 'b'}));
}

TEST(Harness, ARefusedConnectionIsReportedNotRetriedForever) {
    const uint16_t port = harness::freePort();  // nothing listens on it
    EXPECT_FALSE(harness::accepts(port));
    EXPECT_FALSE(harness::connectLoopback(port, 100ms).valid());
    EXPECT_FALSE(harness::TcpClient(port, 100ms).connected());
    EXPECT_THROW(harness::StampedClient(port, 100ms), std::runtime_error);
}

}  // namespace
