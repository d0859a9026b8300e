#include "bench/decoder.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "bench/stand.h"
#include "bench/telemetry_crit.h"
#include "bench/telemetry_meters.h"
#include "bench/telemetry_stand.h"
#include "link/channel.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/clientmessage.h"
#include "service/console.h"
#include "service/outbox.h"

Mutex decoderMutex;

namespace {

constexpr int VERSION_LENGTH = 4;

// Code 2. Every version reply is the board's keep-alive; the first one after the channel was
// (re)set identifies the board and announces it to the client.
void versionReply(Channel& channel, const Command& command) {
    if (command.length() < VERSION_LENGTH) {
        return;
    }
    channel.resetTimeoutCounter();
    if (channel.isDefined()) {
        return;
    }
    console::out("VERSION");
    const int id = command.data[3];
    const known_devices::BoardType* type = known_devices::boardType(id);
    if (type == nullptr) {
        // Not a board this daemon drives: stay unidentified and keep asking.
        return;
    }
    // Device and flag change together: the board is never defined without its device, so it
    // is announced only as what the daemon then drives.
    if (!channel.identify(static_cast<unsigned char>(id))) {
        return;
    }
    console::out(std::string("DEVICE CONNECTED: ") + type->name + " VERSION [" +
                 std::to_string(command.data[0]) + "] [" + std::to_string(command.data[1]) + "] [" +
                 std::to_string(command.data[2]) + "]");
    if (known_devices::isStand(id)) {
        Stand::standConnected = true;
    }
    pushMessage(ClientMessage::deviceConnected(id));
}

// Code 5: the board's debug output, for the console only.
void consoleDump(const Command& command) {
    console::out("###################################################################");
    console::out(byteList(command));
}

}  // namespace

void dispatch(Channel& channel, const Command& command) {
    MutexLock lock(decoderMutex);
    const int code = command.code();
    switch (code) {
        case codes::VERSION:
            versionReply(channel, command);
            break;
        case codes::DEBUG_DUMP:
            consoleDump(command);
            break;
        case codes::PRESSURES:
            TelemetryCrit::pressures(channel, command);
            break;
        case codes::INJECTOR_STATUS:
            TelemetryCrit::injectorStatus(command);
            break;
        case codes::OSC_CALIBRATION:
            TelemetryCrit::calibration(command);
            break;
        case codes::CHART_FIRST:
        case codes::CHART_FIRST + 1:
        case codes::CHART_FIRST + 2:
        case codes::CHART_FIRST + 3:
        case codes::CHART_FIRST + 4:
        case codes::CHART_LAST:
            TelemetryCrit::chartSegment(channel, code - codes::CHART_FIRST, command);
            break;
        case codes::LEAKAGE:
            TelemetryMeters::leakage(command);
            break;
        case codes::REGULATOR_STATUS:
            TelemetryCrit::regulators(command);
            break;
        case codes::ROTATION_SPEED:
            TelemetryStand::rotationSpeed(channel, command);
            break;
        case codes::ROTATION_ACTIVE:
            TelemetryStand::rotationActive(channel, command);
            break;
        case codes::TEMPERATURE:
            TelemetryStand::temperatures(command);
            break;
        case codes::STAND_STATE:
            TelemetryStand::standState(command);
            break;
        case codes::FLOW_CALIBRATION:
            TelemetryMeters::calibration(command);
            break;
        case codes::FLOW:
            TelemetryMeters::flow(command);
            break;
        case codes::DELAY_FIGURES:
            TelemetryMeters::delayMeter(command);
            break;
        default:
            // Reports without a handler (13 among them, which the tester is scheduled to
            // send) are dropped.
            break;
    }
}
