// The stop-and-wake primitive every thread of the daemon waits on.
#include "service/waker.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(Waker, StopEndsEveryWaitAtOnceAndForGood) {
    Waker waker(true);
    const auto begun = std::chrono::steady_clock::now();
    std::thread stopper([&] { waker.stop(); });
    EXPECT_FALSE(waker.pause(std::chrono::hours(1)));
    stopper.join();
    EXPECT_FALSE(waker.idle(Waker::NO_LIMIT));
    EXPECT_FALSE(waker.waitFor(std::chrono::hours(1), [] { return false; }));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 30s);
    EXPECT_TRUE(readable(waker.pollFd()));
}

TEST(Waker, AWakeUpEndsOneIdleAndIsSeenByPoll) {
    Waker waker(true);
    EXPECT_FALSE(readable(waker.pollFd()));
    waker.wake();
    EXPECT_TRUE(readable(waker.pollFd()));
    waker.clearPollable();
    EXPECT_FALSE(readable(waker.pollFd()));
    // Taken by the first idle; the second runs out its time.
    EXPECT_TRUE(waker.idle(Waker::NO_LIMIT));
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_TRUE(waker.idle(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 20ms);
    // A notify ends a condition wait but leaves no wake-up behind.
    waker.notify();
    EXPECT_TRUE(waker.idle(1ms));
    EXPECT_FALSE(Waker().pollFd() >= 0);
}

TEST(Waker, WaitForReturnsAsSoonAsItsConditionHolds) {
    Waker waker;
    std::atomic<bool> ready{false};
    std::thread setter([&] {
        ready.store(true);
        waker.notify();
    });
    EXPECT_TRUE(waker.waitFor(std::chrono::hours(1), [&] { return ready.load(); }));
    setter.join();
    EXPECT_TRUE(ready.load());
}

}  // namespace
