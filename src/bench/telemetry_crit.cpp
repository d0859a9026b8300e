#include "bench/telemetry_crit.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "bench/crit.h"
#include "link/channel.h"
#include "protocol/bytes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/outbox.h"

namespace {

// A chart can only complete at a count a segment can announce (16 bits); one that has
// collected more can never complete.
constexpr int32_t MAX_CHART_POINTS = 0xFFFF;
constexpr int CHART_HEADER = 3;  // switch byte, 16-bit expected count

constexpr int PRESSURES_TESTER_LENGTH = 5;
constexpr int PRESSURES_STAND_LENGTH = 4;
constexpr int STATUS_LENGTH = 1;
constexpr int CALIBRATION_LENGTH = 22;
constexpr int REGULATORS_LENGTH = 15;
constexpr int REGULATOR_COUNT = 3;
constexpr int REGULATOR_STRIDE = 5;

const char* const CHART_KEYS[TelemetryCrit::CHART_COUNT] = {
    "injector_chart:",  "injector_chart2:", "injector_chart3:",
    "injector_chart4:", "injector_chart5:", "injector_chart6:"};

struct Chart {
    std::string plot;
    int32_t pointCount = 0;  // points collected
    int32_t count = 0;       // points expected
};

// The charts being collected, per board (its channel's serial). A board that goes leaves its
// charts behind; the least recently fed are forgotten beyond CHART_BOARDS, so replugs cannot
// pile them up.
constexpr std::size_t CHART_BOARDS = 16;
struct BoardCharts {
    Chart charts[TelemetryCrit::CHART_COUNT];
    uint64_t lastFed = 0;
};
std::map<uint64_t, BoardCharts> chartsByBoard GUARDED_BY(decoderMutex);
uint64_t segmentsFed GUARDED_BY(decoderMutex) = 0;

BoardCharts& chartsOf(const Channel& channel) REQUIRES(decoderMutex) {
    auto found = chartsByBoard.find(channel.serial());
    if (found == chartsByBoard.end()) {
        if (chartsByBoard.size() >= CHART_BOARDS) {
            chartsByBoard.erase(std::min_element(
                chartsByBoard.begin(), chartsByBoard.end(),
                [](const auto& a, const auto& b) { return a.second.lastFed < b.second.lastFed; }));
        }
        found = chartsByBoard.emplace(channel.serial(), BoardCharts{}).first;
    }
    found->second.lastFed = ++segmentsFed;
    return found->second;
}

// Two's-complement reading of 32 wrapped bits, without an implementation-defined conversion.
int32_t wrap32(uint32_t value) {
    return value <= 0x7FFFFFFFu ? static_cast<int32_t>(value) : -static_cast<int32_t>(~value) - 1;
}

// Truncating division in 32-bit arithmetic; the one quotient that does not fit wraps.
int32_t divide32(int32_t dividend, int32_t divisor) {
    if (divisor == -1) {
        return wrap32(0u - static_cast<uint32_t>(dividend));
    }
    return dividend / divisor;
}

int32_t subtract32(int32_t a, int32_t b) {
    return wrap32(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

using known_devices::isStand;
using known_devices::isTester;

}  // namespace

void TelemetryCrit::pressures(const Channel& channel, const Command& command) {
    const int device = channel.getDevice();
    const int length = command.length();
    if (isTester(device)) {
        if (length < PRESSURES_TESTER_LENGTH) {
            return;
        }
        pushMessage("pressure_pressure:" + std::to_string(util::chartou16(command.data, 1)) + ";");
        pushMessage("pressure_max:" + std::to_string(util::chartou16(command.data, 3)) + ";");
    } else if (isStand(device)) {
        if (length < PRESSURES_STAND_LENGTH) {
            return;
        }
        // A signed 16-bit field; negative readings are sent as 0.
        const int raw = util::chartou16(command.data, 2);
        const double pressure = raw >= 0x8000 ? 0.0 : raw / 100.0;
        pushMessage("device_pressure1:" + util::get_formatted_value(pressure) + ";");
    }
}

void TelemetryCrit::injectorStatus(const Command& command) {
    if (command.length() < STATUS_LENGTH) {
        return;
    }
    pushMessage("injector_status:" + std::to_string(command.data[0]) + ";");
}

void TelemetryCrit::calibration(const Command& command) {
    if (command.length() < CALIBRATION_LENGTH) {
        return;
    }
    CRIT::hy = util::chartou16(command.data, 0);
    CRIT::l = util::chartou16(command.data, 2);
    CRIT::hx = util::chartou16(command.data, 4);
    CRIT::offset = util::chartou16(command.data, 20);
}

double TelemetryCrit::convertSample(uint16_t raw) {
    const int32_t hx = CRIT::hx;
    const int32_t hy = CRIT::hy;
    const int32_t l = CRIT::l;
    const int32_t offset = CRIT::offset;
    if (hx == 0) {
        return 0.0;
    }
    // The board's scale is defined in wrapping 32-bit arithmetic.
    const int32_t a = divide32(wrap32(static_cast<uint32_t>(hy) * raw * 2u), hx);
    const int32_t b =
        divide32(wrap32(static_cast<uint32_t>(hy) * static_cast<uint32_t>(offset)), hx);
    return static_cast<double>(subtract32(a, l)) * 0.004 / 3.0 -
           static_cast<double>(subtract32(b, l)) * 0.004 / 3.0;
}

void TelemetryCrit::chartSegment(const Channel& channel, int index, const Command& command) {
    const int length = command.length();
    if (index < 0 || index >= CHART_COUNT || length < CHART_HEADER) {
        return;
    }
    Chart& chart = chartsOf(channel).charts[index];
    const unsigned char switchByte = command.data[0];
    chart.count = util::chartou16(command.data, 1);
    if (switchByte == 0) {
        // A new chart: what is left of one whose later segments were lost is dropped. Counting
        // on would complete this chart early, and every chart after it, with the points split
        // across two charts for as long as the board streams.
        chart.pointCount = 0;
    }
    if (chart.pointCount == 0) {
        chart.plot = CHART_KEYS[index];
    }
    if (index == 0) {
        console::out("BUFF 0: Switch: " + std::to_string(switchByte) +
                     " Count: " + std::to_string(chart.count) + " ");
    }
    // Samples are byte pairs; an odd last byte has no partner in the payload.
    for (int i = CHART_HEADER; i + 1 < length; i += 2) {
        chart.plot += util::get_formatted_value(convertSample(util::chartou16(command.data, i)));
        chart.plot += ',';
        ++chart.pointCount;
        if (chart.pointCount == chart.count) {
            chart.plot.back() = ';';
            pushMessage(chart.plot);
            chart.pointCount = 0;
            return;
        }
        if (chart.pointCount >= MAX_CHART_POINTS) {
            // No later count can match: abandon it, so that the buffer stays bounded and the
            // next segment starts a new chart.
            chart.pointCount = 0;
            chart.plot = CHART_KEYS[index];
            return;
        }
    }
}

void TelemetryCrit::regulators(const Command& command) {
    if (command.length() < REGULATORS_LENGTH) {
        return;
    }
    for (int n = 0; n < REGULATOR_COUNT; ++n) {
        const int base = n * REGULATOR_STRIDE;
        const std::string prefix = "regulator" + std::to_string(n + 1);
        pushMessage(prefix + "_active:" + std::to_string(command.data[base]) + ";");
        pushMessage(prefix + "_current:" +
                    util::get_formatted_value(util::chartou16(command.data, base + 1) / 1000.0) +
                    ";");
        pushMessage(prefix + "_duty_cycle:" +
                    util::get_formatted_value(util::chartou16(command.data, base + 3) / 10.0) +
                    ";");
    }
}

void TelemetryCrit::resetCharts() {
    chartsByBoard.clear();
    segmentsFed = 0;
}
