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

struct Speed {
    Clock::time_point at;
    int rpm;
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
        // A stand that never acknowledges costs the daemon three tries a command.
        RawBoard stand(STAND);
        stand.setAcknowledging(acknowledges);
        daemon.dir.link("ttyUSB0", stand.slavePath());
        TcpClient client(daemon.port);
        ASSERT_TRUE(client.waitFor("device_connected:61;", 10000ms));
        const ProcStats before = restingStats(daemon.process->pid());

        client.send(flood);
        const Clock::time_point stopSent = Clock::now();
        client.send("device_rpm:0;");
        // Every speed frame that reached the stand so far, with when it was seen.
        std::vector<Speed> speeds;
        auto look = [&] {
            speeds.clear();
            for (const HostFrame& frame : stand.hostFrames()) {
                if (isSpeed(frame.bytes)) {
                    speeds.push_back({frame.at, speedOf(frame.bytes)});
                }
            }
            return std::any_of(speeds.begin(), speeds.end(),
                               [](const Speed& s) { return s.rpm == 0; });
        };
        ASSERT_TRUE(waitUntil(look, 20000ms)) << "the stop never reached the stand";
        auto stop =
            std::find_if(speeds.begin(), speeds.end(), [](const Speed& s) { return s.rpm == 0; });
        const double latencyMs =
            std::chrono::duration<double, std::milli>(stop->at - stopSent).count();
        // Nothing older overtakes the stop.
        EXPECT_TRUE(std::all_of(stop, speeds.end(), [](const Speed& s) { return s.rpm == 0; }));
        // Queued behind the send queue's 1,024 settings to a silent stand (three 10 ms tries
        // each) it would wait half a minute; the latency itself is the figure printed below,
        // which a busy machine or a sanitizer stretches.
        EXPECT_LT(latencyMs, 10000.0);

        const ProcStats after = procStats(daemon.process->pid());
        ASSERT_EQ(::kill(daemon.process->pid(), SIGUSR1), 0);
        EXPECT_TRUE(daemon.process->waitForOut("timeouts 0, overflow "));
        const std::string out = daemon.process->out();
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
