// A thread's run flag and wake-up in one: the stop that ends a thread's waits at once, the
// wake-up that tells it there is something to do, and, for threads that wait in poll(), an
// eventfd that turns readable on either.
#pragma once

#include <atomic>
#include <chrono>

#include "service/filedescriptor.h"
#include "service/sync.h"

class Waker {
public:
    // `pollable`: also keep an eventfd for a thread that waits in poll().
    explicit Waker(bool pollable = false);
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    // Ends every wait now and later. Safe from any thread.
    void stop();
    bool running() const { return running_.load(); }
    // Something to do: ends the current or next idle(). Safe from any thread.
    void wake();

    // Ends a waitFor() so that it tests its condition again, without a wake-up for idle().
    // Safe from any thread.
    void notify();

    // Sleeps up to `period`, returning at once when stopped. False once stopped.
    bool pause(std::chrono::milliseconds period);
    // Waits up to `period` until `ready()` holds (tested under the wake-up's lock, so that a
    // wake() after the condition changed is never missed), or the waker is stopped. False once
    // stopped.
    template <typename Ready>
    bool waitFor(std::chrono::milliseconds period, Ready ready);
    // Waits until woken or stopped, or `period` passed (forever when it is NO_LIMIT), then
    // clears the wake-up. False once stopped.
    bool idle(std::chrono::milliseconds period);
    static constexpr std::chrono::milliseconds NO_LIMIT{-1};

    // The eventfd, readable once stopped or woken (-1 when not pollable or out of
    // descriptors: the caller then polls with a timeout). clearPollable() reads it empty.
    int pollFd() const { return event_.get(); }
    void clearPollable();

private:
    void signal();

    std::atomic<bool> running_{true};
    Mutex mutex_;  // a leaf: nothing is taken under it
    CondVar cv_;   // stop(), wake()
    bool pending_ GUARDED_BY(mutex_) = false;
    FileDescriptor event_;
};

template <typename Ready>
bool Waker::waitFor(std::chrono::milliseconds period, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + period;
    MutexLock lock(mutex_);
    while (running_.load() && !ready()) {
        if (!cv_.waitUntil(lock, deadline)) {
            break;
        }
    }
    return running_.load();
}
