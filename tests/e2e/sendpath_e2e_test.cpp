// A stop behind a flood of settings: the client sends 20,000 speed settings to a stand and then
// a stop; the stop must reach the stand at once, whether the stand acknowledges or not, and
// the daemon's memory must not grow with the flood.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "faultbench.h"
#include "rawboard.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned char STAND = 61;
constexpr unsigned char CODE_SPEED = 41;

// The speed a stand's speed frame (code 41: speed 16-bit big-endian, direction) carries.
int speedOf(const Bytes& frame) {
    return frame[7] << 8 | frame[8];
}

bool isSpeed(const Bytes& frame) {
    return frame.size() == 11 && frame[4] == CODE_SPEED;
}

// A stand that identifies itself and stays alive but never acknowledges a frame: every command
// costs the daemon its three tries.
class SilentStand {
public:
    SilentStand() : thread_([this] { run(); }) {}
    ~SilentStand() {
        stop_.store(true);
        thread_.join();
    }
    const std::string& slavePath() const { return pty_.slavePath(); }

    struct Speed {
        Clock::time_point at;
        int rpm;
    };
    std::vector<Speed> speeds() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return speeds_;
    }

private:
    void run() {
        unsigned char buffer[4096];
        bool asked = false;
        auto lastVersion = Clock::now();
        while (!stop_.load()) {
            pollfd p{pty_.master(), POLLIN, 0};
            const int ready = ::poll(&p, 1, 20);
            if (ready > 0 && (p.revents & POLLIN)) {
                const ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
                if (n > 0) {
                    pending_.insert(pending_.end(), buffer, buffer + n);
                    asked = take() || asked;
                }
            } else if (ready > 0) {
                std::this_thread::sleep_for(5ms);  // nobody has the port open yet
            }
            if (asked && Clock::now() - lastVersion >= 1000ms) {
                send(dataFrame(number_++, 2, 1, {1, 2, 3, STAND}));
                lastVersion = Clock::now();
            }
        }
    }

    // Cuts the host's frames; true when one was a version request (answered at once).
    bool take() {
        bool asked = false;
        while (true) {
            auto start = std::find(pending_.begin(), pending_.end(), 0xA5);
            pending_.erase(pending_.begin(), start);
            if (pending_.size() < 7) {
                return asked;
            }
            const std::size_t size = pending_[2] == 0x33 ? 5u : 8u + pending_[6];
            if (pending_[1] != 0xA5 || (pending_[2] != 0x0F && pending_[2] != 0x33)) {
                pending_.erase(pending_.begin());
                continue;
            }
            if (pending_.size() < size) {
                return asked;
            }
            const Bytes frame(pending_.begin(), pending_.begin() + static_cast<long>(size));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
            if (isSpeed(frame)) {
                std::lock_guard<std::mutex> lock(mutex_);
                speeds_.push_back({Clock::now(), speedOf(frame)});
            }
            if (frame[2] == 0x0F && frame[4] == 2 && frame[5] == 2) {
                send(dataFrame(number_++, 2, 1, {1, 2, 3, STAND}));
                asked = true;
            }
        }
    }

    void send(const Bytes& bytes) {
        std::size_t done = 0;
        for (int tries = 0; done < bytes.size() && tries < 100; ++tries) {
            const ssize_t n = ::write(pty_.master(), bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{pty_.master(), POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
    }

    Pty pty_;
    std::atomic<bool> stop_{false};
    Bytes pending_;             // board thread only
    unsigned char number_ = 0;  // board thread only
    mutable std::mutex mutex_;
    std::vector<Speed> speeds_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace

TEST(SendPathE2E, StopAfterAFloodOfSettingsReachesTheStandAtOnce) {
    constexpr int FLOOD = 20000;
    std::string flood;
    for (int i = 0; i < FLOOD; ++i) {
        flood += "device_rpm:1000;";
    }
    for (bool acknowledges : {false, true}) {
        SCOPED_TRACE(acknowledges ? "a stand that acknowledges" : "a stand that never does");
        Daemon daemon;
        std::unique_ptr<SilentStand> silent;
        std::unique_ptr<RawBoard> raw;
        if (acknowledges) {
            raw = std::make_unique<RawBoard>(STAND);
            daemon.dir.link("ttyUSB0", raw->slavePath());
        } else {
            silent = std::make_unique<SilentStand>();
            daemon.dir.link("ttyUSB0", silent->slavePath());
        }
        TcpClient client(daemon.port);
        ASSERT_TRUE(client.waitFor("device_connected:61;", 10000ms));
        const ProcStats before = restingStats(daemon.process.pid());

        client.send(flood);
        const Clock::time_point stopSent = Clock::now();
        client.send("device_rpm:0;");
        // Every speed frame that reached the stand so far, with when it was seen.
        std::vector<SilentStand::Speed> speeds;
        auto look = [&] {
            if (silent) {
                speeds = silent->speeds();
            } else {
                speeds.clear();
                for (const Bytes& frame : raw->hostFrames()) {
                    if (isSpeed(frame)) {
                        speeds.push_back({Clock::now(), speedOf(frame)});
                    }
                }
            }
            return std::any_of(speeds.begin(), speeds.end(),
                               [](const SilentStand::Speed& s) { return s.rpm == 0; });
        };
        ASSERT_TRUE(waitUntil(look, 20000ms)) << "the stop never reached the stand";
        auto stop = std::find_if(speeds.begin(), speeds.end(),
                                 [](const SilentStand::Speed& s) { return s.rpm == 0; });
        const double latencyMs =
            std::chrono::duration<double, std::milli>(stop->at - stopSent).count();
        // Nothing older overtakes the stop.
        EXPECT_TRUE(std::all_of(stop, speeds.end(),
                                [](const SilentStand::Speed& s) { return s.rpm == 0; }));
        EXPECT_LT(latencyMs, 2000.0);

        const ProcStats after = procStats(daemon.process.pid());
        ASSERT_EQ(::kill(daemon.process.pid(), SIGUSR1), 0);
        EXPECT_TRUE(daemon.process.waitForOut("timeouts 0, overflow "));
        const std::string out = daemon.process.out();
        const std::size_t at = out.rfind("Counters [ttyUSB0]");
        const std::string counters =
            at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
        figure(
            "stop after %d settings, %s: reached the stand %.1f ms after it was sent; %zu "
            "speed frames on the line",
            FLOOD, acknowledges ? "acknowledging stand" : "silent stand", latencyMs, speeds.size());
        figure("  daemon before %s, after %s", describe(before).c_str(), describe(after).c_str());
        figure("  %s", counters.c_str());
        // The old unbounded queue held every setting: about 11 MB for this flood.
        expectRssWithin(before, after.rssKb, 4096);
    }
}
