// A board's send queue as the client's keys and the motor guard fill it: whole and in order
// while the board keeps up; settings superseded per merge key once it lags; actions and the
// guard's stop never merged; the client's and the guard's stops first; a hard bound. The queue's
// clock is stepped by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "boardoptions.h"
#include "client/tcpcommandparser.h"
#include "consolecapture.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

std::chrono::steady_clock::time_point fakeNow;
std::chrono::steady_clock::time_point fakeClock() {
    return fakeNow;
}

// Steps of a case: a client message, "+300" (the clock moves on 300 ms), "guard" (the stand
// reports a steady speed until the motor guard queues its stop) or "sent" (the sender takes
// everything queued and finds the queue empty).
const std::string LATER = "+300";
const std::string GUARD = "guard";
const std::string SENT = "sent";

void steadyStand(Channel& stand) {
    const unsigned char speed[4] = {0, 0, 0x03, 0xE8};  // 1000
    const Command report = Command::makeData(41, ACCESS_COMMAND, speed, 4);
    for (int i = 0; i < 12; ++i) {
        dispatch(stand, report);
    }
    takeMessages();
}

// The queue as "code payload" in hex, front first.
std::vector<std::string> drain(Channel& channel) {
    std::vector<std::string> out;
    while (auto command = channel.sendManager->popQueued()) {
        Bytes bytes(1u + command->length(), command->code());
        std::copy(command->data, command->data + command->length(), bytes.begin() + 1);
        out.push_back(hex(bytes));
    }
    return out;
}

struct Case {
    const char* name;
    unsigned char device;
    std::vector<std::string> steps;
    std::vector<std::string> queue;  // empty: not compared (see size)
    std::size_t size;
    uint64_t superseded;
    uint64_t overflow;
};

std::vector<std::string> repeated(const std::string& message, int times) {
    return std::vector<std::string>(static_cast<std::size_t>(times), message);
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(SendQueue, SettingsMergeOnlyWhileTheBoardLags) {
    using known_devices::CRIT0304;
    using known_devices::STAND;
    const std::vector<Case> cases = {
        {"a ramp to a board that keeps up arrives whole and in order",
         STAND,
         {"device_rpm:100", "device_rpm:200", "device_rpm:300", "device_fan:1", "device_rpm:400"},
         {"29 00 64 00", "29 00 C8 00", "29 01 2C 00", "2F 00 01", "29 01 90 00"},
         5,
         0,
         0},
        {"once the oldest waited too long, a setting replaces its key's queued ones, at the back",
         STAND,
         {"device_rpm:100", "device_fan:1", LATER, "device_rpm:200", "device_pump:1",
          "device_rpm:300", "device_fan:0"},
         {"2F 01 01", "29 01 2C 00", "2F 00 00"},
         3,
         3,
         0},
        {"a board whose queue was emptied keeps up again",
         STAND,
         {"device_rpm:100", LATER, "device_rpm:200", SENT, "device_rpm:300", "device_rpm:400"},
         {"29 01 2C 00", "29 01 90 00"},
         2,
         1,
         0},
        {"regulator channels are kept apart",
         CRIT0304,
         {"regulator1_current:1", "regulator2_current:2", LATER, "regulator1_duty_cycle:5",
          "regulator2_active:1", "regulator2_current:3"},
         {"1E 00 00 00 00 00 00 32 07 D0 01", "1F 01 01 00", "1E 01 0B B8 00 00 00 00 07 D0 00"},
         3,
         2,
         0},
        {"actions are never merged, nor replaced by a setting of their code",
         CRIT0304,
         {"injector_status:", "pressure_reset:", LATER,
          "injector_status:", "pressure_reset:", "sensor_type:1", "sensor_type:2"},
         {"0C", "0A 00 01", "0C", "0A 00 01", "0A 02 00"},
         5,
         1,
         0},
        {"the motor guard's stop goes first, in its order, and replaces a queued start",
         STAND,
         {"device_active:1", "device_rpm:100", "device_fan:1", LATER, GUARD},
         {"2A 01", "2A 00", "29 00 64 00", "2F 00 01"},
         4,
         1,
         0},
        {"and no setting replaces the motor guard's stop (the client's stop goes first)",
         STAND,
         {"device_active:1", LATER, GUARD, "device_active:0"},
         {"2A 00", "2A 01", "2A 00"},
         3,
         1,
         0},
        {"a client's stop goes ahead of every queued command and replaces a queued start",
         STAND,
         {"device_active:1", "device_rpm:100", "device_fan:1", "device_active:0", "device_rpm:200"},
         {"2A 00", "29 00 64 00", "2F 00 01", "29 00 C8 00"},
         4,
         1,
         0},
        {"a full queue drops its oldest actions and counts them",
         CRIT0304,
         joined({"pressure_reset:", "pressure_reset:"}, repeated("injector_status:", 1028)),
         {},
         SendManager::QUEUE_LIMIT,
         0,
         6},
        {"a full queue counts as lagging, until the sender empties it: settings collapse",
         STAND,
         joined(repeated("device_rpm:1000", 1030), {"device_rpm:0"}),
         {"29 00 00 00"},
         1,
         1030,
         0},
    };
    for (const Case& c : cases) {
        fakeNow = std::chrono::steady_clock::now();
        ChannelOptions options = testing_support::boardOptions(false, std::chrono::milliseconds(0));
        options.clock = fakeClock;
        auto board = std::make_shared<Channel>(FileDescriptor(), options, "ttyUSB0");
        board->setDevice(c.device);
        board->setDefined();
        {
            MutexLock lock(channelMapMutex);
            channelMap["ttyUSB0"] = board;
        }
        ConsoleCapture out(1);
        for (const std::string& step : c.steps) {
            if (step == LATER) {
                fakeNow += std::chrono::milliseconds(300);
            } else if (step == GUARD) {
                steadyStand(*board);
            } else if (step == SENT) {
                drain(*board);
            } else {
                TcpCommandParser::parse(step);
            }
        }
        EXPECT_EQ(board->sendManager->queued(), c.size) << c.name;
        const ChannelCounters& counters = board->counters();
        EXPECT_EQ(counters.superseded.load(), c.superseded) << c.name;
        EXPECT_EQ(counters.overflow.load(), c.overflow) << c.name;
        if (c.overflow > 0) {
            EXPECT_TRUE(out.waitFor("Send queue full [ttyUSB0]: dropped 1 oldest command(s)"))
                << c.name;
        }
        std::vector<std::string> queue = drain(*board);
        if (!c.queue.empty()) {
            EXPECT_EQ(queue, c.queue) << c.name;
        }
        {
            MutexLock lock(channelMapMutex);
            channelMap.erase("ttyUSB0");
        }
        MutexLock lock(decoderMutex);
        CRIT::restoreDefaults();
        Stand::restoreDefaults();
    }
}
