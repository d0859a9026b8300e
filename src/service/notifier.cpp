#include "service/notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "service/console.h"
#include "service/heartbeat.h"

namespace {

// How often the status line is looked at for a change.
constexpr std::chrono::milliseconds STATUS_PERIOD{250};

}  // namespace

Notifier::Notifier(std::function<std::string()> status)
    : status_(std::move(status)), active_(std::getenv("NOTIFY_SOCKET") != nullptr) {
    if (!active_) {
        return;
    }
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        watchdog_ = std::chrono::microseconds(usec);
    }
    thread_ = std::thread(&Notifier::run, this);
}

Notifier::~Notifier() {
    stopping();
}

void Notifier::ready() {
    if (active_) {
        sd_notify(0, "READY=1");
    }
}

void Notifier::stopping() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    sd_notify(0, "STOPPING=1");
}

std::chrono::milliseconds Notifier::silenceLimit() const {
    // Half the manager's interval leaves the other half for the pings to stop in time; a
    // healthy thread needs a few of its periods, whatever the interval.
    const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 2);
    return std::max<std::chrono::milliseconds>(half, 3 * Heartbeat::PERIOD);
}

void Notifier::run() {
    using Clock = std::chrono::steady_clock;
    const auto pingPeriod = std::chrono::duration_cast<Clock::duration>(watchdog_ / 2);
    Clock::time_point nextPing = Clock::now();
    std::string said;
    std::string silent;  // the thread last said to hold up the pings
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        const std::string status = status_();
        if (status != said) {
            sd_notify(0, ("STATUS=" + status).c_str());
            said = status;
        }
        const Clock::time_point now = Clock::now();
        if (watchdog_.count() > 0 && now >= nextPing) {
            nextPing = now + pingPeriod;
            const std::string quiet = Heartbeat::silentFor(silenceLimit());
            if (quiet.empty()) {
                sd_notify(0, "WATCHDOG=1");
                if (!silent.empty()) {
                    console::err("Watchdog: every thread checks in again");
                }
            } else if (quiet != silent) {
                console::err("Watchdog: " + quiet + " has not checked in for " +
                             std::to_string(silenceLimit().count()) +
                             " ms; the watchdog pings stop");
            }
            silent = quiet;
        }
        lock.lock();
        auto wait = STATUS_PERIOD;
        if (watchdog_.count() > 0) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(nextPing - now));
        }
        wake_.wait_for(lock, wait, [this] { return stop_; });
    }
}
