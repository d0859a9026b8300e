#include "bench/telemetry_meters.h"

#include <cstdio>
#include <limits>
#include <string>

#include "protocol/bytes.h"
#include "protocol/command.h"
#include "service/console.h"
#include "service/outbox.h"

int32_t TelemetryMeters::delayCount = 0;
int32_t TelemetryMeters::delayAverage = 0;
int32_t TelemetryMeters::delayMin = 0;
int32_t TelemetryMeters::delayMax = 0;

namespace {

constexpr int SERIES = 10;
constexpr int FLOW_RECORD = 9;
constexpr int CALIBRATION_PAIR = 8;
constexpr int FLOW_LENGTH = SERIES * FLOW_RECORD;
constexpr int CALIBRATION_LENGTH = SERIES * CALIBRATION_PAIR;
constexpr int DELAY_LENGTH = 15;
constexpr int LEAKAGE_LENGTH = 6;

// numerator / denominator × 1000; a zero denominator gives what IEEE division would, without
// dividing by zero.
double ratio(int32_t numerator, int32_t denominator) {
    if (denominator == 0) {
        if (numerator == 0) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return numerator > 0 ? std::numeric_limits<double>::infinity()
                             : -std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(numerator) / static_cast<double>(denominator) * 1000.0;
}

}  // namespace

void TelemetryMeters::flow(const Command& command) {
    if (command.length() < FLOW_LENGTH) {
        return;
    }
    std::string message = "flowmeter_flow:";
    for (int k = 0; k < SERIES; ++k) {
        const int base = k * FLOW_RECORD;
        const uint64_t divisor = command.data[base] == 0 ? 1 : command.data[base];
        message += std::to_string(util::chartol(command.data, base + 1) / divisor);
        message += k + 1 < SERIES ? ',' : ';';
    }
    pushMessage(message);
}

void TelemetryMeters::calibration(const Command& command) {
    if (command.length() < CALIBRATION_LENGTH) {
        return;
    }
    std::string message = "flowmeter_calibrate:";
    for (int k = 0; k < SERIES; ++k) {
        const int base = k * CALIBRATION_PAIR;
        message += util::get_formatted_value(
            ratio(util::chartoi(command.data, base + 4), util::chartoi(command.data, base)));
        message += k + 1 < SERIES ? ',' : ';';
    }
    pushMessage(message);
}

void TelemetryMeters::delayMeter(const Command& command) {
    if (command.length() < DELAY_LENGTH) {
        return;
    }
    const int32_t total = util::chartoi(command.data, 1);
    delayCount = util::chartou16(command.data, 5);
    // The count is at most 65535, so the quotient always fits.
    delayAverage = delayCount != 0 ? total / delayCount : 0;
    const int32_t minimum = util::chartoi(command.data, 7);
    delayMin = minimum < 0 ? 0 : minimum;
    delayMax = util::chartoi(command.data, 11);
    pushMessage("delay_meter:" + std::to_string(delayMin) + "," + std::to_string(delayMax) + "," +
                std::to_string(delayAverage) + ";");
}

void TelemetryMeters::leakage(const Command& command) {
    const int length = command.length();
    if (length < LEAKAGE_LENGTH) {
        return;
    }
    console::out("HYDRO: " + byteList(command));
    pushMessage("leakage_time_passed:" + std::to_string(util::chartoi(command.data, 2)) + ";");
}

void TelemetryMeters::resetDelayFigures() {
    delayCount = 0;
    delayAverage = 0;
    delayMin = 0;
    delayMax = 0;
}
