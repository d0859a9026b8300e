// Thread check-ins for the service watchdog: every long-lived thread holds a Heartbeat and
// beats once per pass of its loop. A thread that has not beaten for a while is hung, and the
// watchdog pings stop so that the service manager restarts the daemon.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class Heartbeat {
public:
    using Clock = std::chrono::steady_clock;
    // The longest a healthy thread waits between two beats: every wait of a checked thread is
    // bounded by it.
    static constexpr std::chrono::milliseconds PERIOD{1000};

    // Registers the thread under `name` ("reader ttyUSB0"), as having just beaten. Unregistered
    // when destroyed. Create and destroy it on the thread it stands for.
    explicit Heartbeat(std::string name);
    ~Heartbeat();
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    // Takes no lock: cheap enough for every pass of a loop.
    void beat() {
        last_->store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }

    // The name of a registered thread that has not beaten for `limit`, the longest silent one;
    // empty when all have. Safe from any thread.
    static std::string silentFor(std::chrono::milliseconds limit);

private:
    std::shared_ptr<std::atomic<Clock::rep>> last_;
    uint64_t id_;
};
