#include "service/waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

Waker::Waker(bool pollable) {
    if (pollable) {
        event_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    }
}

void Waker::signal() {
    if (event_.valid()) {
        uint64_t one = 1;
        ssize_t ignored = ::write(event_.get(), &one, sizeof one);
        (void)ignored;
    }
}

void Waker::stop() {
    {
        // Under the lock, so that a waiter between its test of the flag and its wait cannot
        // miss the change.
        MutexLock lock(mutex_);
        running_.store(false);
    }
    cv_.notifyAll();
    signal();
}

void Waker::wake() {
    {
        MutexLock lock(mutex_);
        pending_ = true;
    }
    cv_.notifyAll();
    signal();
}

void Waker::notify() {
    // Taking the lock orders the waiter's condition change before its next test.
    { MutexLock lock(mutex_); }
    cv_.notifyAll();
}

bool Waker::pause(std::chrono::milliseconds period) {
    return waitFor(period, [] { return false; });
}

bool Waker::idle(std::chrono::milliseconds period) {
    const auto deadline = std::chrono::steady_clock::now() + period;
    MutexLock lock(mutex_);
    while (running_.load() && !pending_) {
        if (period == NO_LIMIT) {
            cv_.wait(lock);
        } else if (!cv_.waitUntil(lock, deadline)) {
            break;
        }
    }
    pending_ = false;
    return running_.load();
}

void Waker::clearPollable() {
    if (event_.valid()) {
        uint64_t count;
        ssize_t ignored = ::read(event_.get(), &count, sizeof count);
        (void)ignored;
    }
}
