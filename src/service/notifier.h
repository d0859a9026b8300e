// Talks to the service manager (systemd's notify protocol): readiness, a status line, and the
// watchdog pings, sent only while every checked thread (see Heartbeat) checks in. Outside a
// service manager (no NOTIFY_SOCKET) it does nothing and starts no thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class Notifier {
public:
    // `status` gives the current status line; it is called on the notifier's thread, so it
    // must be safe from any thread.
    explicit Notifier(std::function<std::string()> status);
    // Says STOPPING=1 and stops the thread.
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    bool active() const { return active_; }
    // The client port is bound and the watcher runs.
    void ready();
    // Shutting down: no more pings (the manager then gives the stop its own time limit).
    void stopping();

private:
    void run();
    // The longest a thread may go without checking in while the pings go on.
    std::chrono::milliseconds silenceLimit() const;

    const std::function<std::string()> status_;
    const bool active_;
    std::chrono::microseconds watchdog_{0};  // zero: no watchdog asked for
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;  // guarded by mutex_
    std::thread thread_;
};
