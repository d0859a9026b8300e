// A repeating console line: printed once, then summarised at most once a minute.
#include "service/consolethrottle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

namespace {

using namespace std::chrono_literals;

// A throttle on a clock the test moves, printing into memory.
class ThrottleClockTest : public ::testing::Test {
protected:
    // What was printed since the last call.
    std::string printed() { return std::exchange(lines, std::string()); }

    void print(const std::string& key, const std::string& line) { throttle.print(key, line); }

    ConsoleThrottle::Clock::time_point now{};
    std::string lines;
    ConsoleThrottle throttle{[this] { return now; }, std::chrono::seconds(60),
                             [this](console::Stream, std::string line) { lines += line + "\n"; }};
};

}  // namespace

TEST_F(ThrottleClockTest, RepeatsWithinTheMinuteAreCountedAndSummarisedOnce) {
    print("ack", "Bytes written does not match to ack size: -1 != 5");
    EXPECT_EQ(printed(), "Bytes written does not match to ack size: -1 != 5\n");
    for (int i = 0; i < 500; ++i) {
        now += 100ms;
        print("ack", "Bytes written does not match to ack size: -1 != 5");
    }
    // 50 s in: nothing more yet, whether a repeat comes or the watcher flushes.
    throttle.flush();
    EXPECT_EQ(printed(), "");

    now += 10s;
    throttle.flush();
    EXPECT_EQ(printed(),
              "Bytes written does not match to ack size: -1 != 5 (repeated 500 times in the last "
              "minute)\n");
    // The next minute counts from the summary.
    now += 30s;
    print("ack", "Bytes written does not match to ack size: -1 != 5");
    throttle.flush();
    EXPECT_EQ(printed(), "");
    now += 30s;
    throttle.flush();
    EXPECT_EQ(printed(),
              "Bytes written does not match to ack size: -1 != 5 (repeated 1 times in the last "
              "minute)\n");
}

TEST_F(ThrottleClockTest, RepeatAfterTheMinuteCarriesTheCountItself) {
    print("accept", "Error accept: Too many open files");
    now += 1s;
    print("accept", "Error accept: Too many open files");
    now += 1s;
    print("accept", "Error accept: Bad address");  // the latest text stands for the repeats
    now += 60s;
    print("accept", "Error accept: Bad address");
    EXPECT_EQ(printed(),
              "Error accept: Too many open files\n"
              "Error accept: Bad address (repeated 3 times in the last minute)\n");
}

TEST_F(ThrottleClockTest, QuietKeyPrintsAfreshAndKeysAreIndependent) {
    print("a", "first a");
    print("b", "first b");
    print("a", "again a");
    EXPECT_EQ(printed(), "first a\nfirst b\n");

    // A key with nothing to summarise is forgotten after a quiet minute...
    now += 61s;
    throttle.flush();
    EXPECT_EQ(printed(), "again a (repeated 1 times in the last minute)\n");
    print("b", "second b");
    EXPECT_EQ(printed(), "second b\n");
    // ...and one whose summary went out is forgotten a quiet minute later.
    now += 61s;
    throttle.flush();
    EXPECT_EQ(printed(), "");
    print("a", "later a");
    EXPECT_EQ(printed(), "later a\n");

    throttle.clear();
    print("a", "after clear");
    EXPECT_EQ(printed(), "after clear\n");
}

// A line that ordinary use repeats now and then: its first lines of a window are all printed,
// a storm beyond them is counted, and the next window has its burst again.
TEST_F(ThrottleClockTest, BurstPrintsTheFirstLinesOfAWindowThenCounts) {
    auto connect = [this] {
        throttle.print("connect", "Connection established.", console::Stream::OUT, 3);
    };
    for (int i = 0; i < 3; ++i) {
        now += 5s;
        connect();
    }
    EXPECT_EQ(printed(),
              "Connection established.\nConnection established.\nConnection established.\n");
    for (int i = 0; i < 300; ++i) {
        connect();
    }
    EXPECT_EQ(printed(), "");
    // The window began with its first line, 10 s before the third.
    now += 50s;
    throttle.flush();
    EXPECT_EQ(printed(), "Connection established. (repeated 300 times in the last minute)\n");
    // The summary opens the next window and counts as its first line.
    connect();
    connect();
    connect();
    EXPECT_EQ(printed(), "Connection established.\nConnection established.\n");
    now += 61s;
    throttle.flush();
    EXPECT_EQ(printed(), "Connection established. (repeated 1 times in the last minute)\n");
}
