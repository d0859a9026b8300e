// The daemon's mutex, its scoped lock and its condition variable, annotated for clang's
// thread-safety analysis (-Wthread-safety): a field declared GUARDED_BY(m) may only be touched
// with m held, and a function declared REQUIRES(m) only called with it held. g++ ignores the
// annotations; the CI's clang build checks them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex that the analysis knows. Lockable, so std::lock_guard<Mutex> works too, but
// MutexLock is the lock the analysis follows.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    friend class CondVar;
    std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    friend class CondVar;
    Mutex& mutex_;
};

// A condition variable waited on with a MutexLock held; the lock is held again on return.
// Callers test their condition in a loop around the wait, under the lock, where the analysis
// sees it.
class CondVar {
public:
    void notifyOne() { cv_.notify_one(); }
    void notifyAll() { cv_.notify_all(); }

    void wait(MutexLock& lock) {
        std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
        cv_.wait(native);
        native.release();
    }
    // False once the deadline has passed.
    bool waitUntil(MutexLock& lock, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
        const bool inTime = cv_.wait_until(native, deadline) == std::cv_status::no_timeout;
        native.release();
        return inTime || std::chrono::steady_clock::now() < deadline;
    }

private:
    std::condition_variable cv_;
};
