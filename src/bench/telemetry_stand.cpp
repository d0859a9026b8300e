#include "bench/telemetry_stand.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bench/stand.h"
#include "link/channel.h"
#include "link/sendmanager.h"
#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/outbox.h"

namespace {

constexpr int SPEED_LENGTH = 4;
constexpr int ACTIVE_LENGTH = 1;
constexpr int TEMPERATURES_LENGTH = 11;
constexpr int STATE_LENGTH = 5;
// The guard fires on the report after this many consecutive qualifying ones.
constexpr uint32_t GUARD_TICKS = 10;
constexpr int32_t STEADY_DELTA = 9;
constexpr double NEAR_COMMAND_RATIO = 0.1;

using known_devices::isStand;
using known_devices::isTester;

// |a - b|, saturated: a difference wrapped to 32 bits could make a jump across the whole
// range look steady.
int32_t absoluteDifference(int32_t a, int32_t b) {
    const int64_t difference = std::llabs(static_cast<int64_t>(a) - static_cast<int64_t>(b));
    return difference > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                            : static_cast<int32_t>(difference);
}

bool nearCommandedSpeed(int32_t commanded, int32_t reported) {
    if (commanded == 0) {
        return false;  // no commanded speed to be near
    }
    // Exact difference, for the same reason as above.
    const int64_t difference = static_cast<int64_t>(commanded) - static_cast<int64_t>(reported);
    return std::fabs(static_cast<double>(difference) / static_cast<double>(commanded)) <
           NEAR_COMMAND_RATIO;
}

// Queued first, as the client's stop is: behind a burst of settings it would reach the stand
// only once the stand had acknowledged them all. It replaces a queued rotation setting (a start
// queued before it must not follow it), and nothing merges with it or replaces it.
void queueStopSequence(Channel& channel) {
    std::vector<std::unique_ptr<Command>> sequence;
    sequence.push_back(Stand::setRotateActive(1));
    sequence.push_back(Stand::setRotateActive(0));
    channel.sendManager->enqueueUrgent(std::move(sequence), codes::ROTATION_ACTIVE);
}

}  // namespace

void TelemetryStand::rotationSpeed(Channel& channel, const Command& command) {
    if (command.length() < SPEED_LENGTH) {
        return;
    }
    const int device = channel.getDevice();
    const int32_t speed = util::chartoi(command.data, 0);
    const std::string message = "device_rpm:" + std::to_string(speed) + ";";
    if (!isStand(device)) {
        // The tester's speed stands in for a missing stand and never feeds the guard.
        if (isTester(device) && !Stand::standConnected) {
            pushMessage(message);
        }
        return;
    }

    Stand::rpmPrevious = Stand::rpmCurrent;
    Stand::rpmCurrent = speed;
    Stand::rpmDelta = absoluteDifference(Stand::rpmCurrent, Stand::rpmPrevious);
    Stand::rpmFeedBack = speed;

    if (Stand::activeFeedBack == 0 && nearCommandedSpeed(Stand::rpm, Stand::rpmFeedBack)) {
        ++Stand::ticksBetweenRPMCommand;
    } else {
        Stand::ticksBetweenRPMCommand = 0;
    }
    if (Stand::activeFeedBack != 0 || Stand::rpmDelta > STEADY_DELTA || Stand::rpmCurrent == 0) {
        Stand::ticksBetweenDelta = 0;
    } else {
        ++Stand::ticksBetweenDelta;
    }

    if (Stand::ticksBetweenDelta > GUARD_TICKS) {
        console::out("Sended Command to stop MOTOR with DELTA");
        queueStopSequence(channel);
        Stand::ticksBetweenDelta = 0;
    }
    if (Stand::ticksBetweenRPMCommand > GUARD_TICKS) {
        console::out("Sended Command to stop MOTOR");
        queueStopSequence(channel);
        Stand::ticksBetweenRPMCommand = 0;
    }
    pushMessage(message);
}

void TelemetryStand::rotationActive(const Channel& channel, const Command& command) {
    if (!isStand(channel.getDevice()) || command.length() < ACTIVE_LENGTH) {
        return;
    }
    Stand::activeFeedBack = command.data[0];
    pushMessage("device_active:" + std::to_string(command.data[0]) + ";");
}

void TelemetryStand::temperatures(const Command& command) {
    if (command.length() < TEMPERATURES_LENGTH) {
        return;
    }
    // Hundredths to whole degrees, truncated toward zero.
    pushMessage("device_temperature1:" + std::to_string(util::chartoi(command.data, 3) / 100) +
                ";");
    pushMessage("device_temperature2:" + std::to_string(util::chartoi(command.data, 7) / 100) +
                ";");
}

void TelemetryStand::standState(const Command& command) {
    const int length = command.length();
    if (length < STATE_LENGTH) {
        return;
    }
    console::out("STAND STATE: " + byteList(command));
    pushMessage("device_tank:" + std::to_string(command.data[4]) + ";");
    pushMessage("device_fan:" + std::to_string(command.data[0]) + ";");
}
