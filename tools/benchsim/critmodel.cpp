#include "critmodel.h"

#include <algorithm>
#include <cmath>

#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"

namespace {
constexpr double PRESSURE_TIME_CONSTANT_S = 0.8;
constexpr double SAMPLE_US = 10.0;
constexpr double PULSE_START_US = 200.0;
constexpr double CURRENT_TIME_CONSTANT_US = 30.0;
constexpr double DEFAULT_PEAK_A = 18.0;
constexpr double DEFAULT_HOLD_A = 12.0;
constexpr int CURRENT_SETTING_ZERO = 25000;  // injector current settings: 25000 + 250 per ampere
constexpr int CURRENT_SETTING_PER_A = 250;

double amperesFromSetting(int setting, double fallback) {
    double amperes = static_cast<double>(setting - CURRENT_SETTING_ZERO) / CURRENT_SETTING_PER_A;
    return amperes > 0 ? amperes : fallback;
}
}  // namespace

CritModel::CritModel(unsigned char deviceId, uint32_t seed)
    : BoardModel(deviceId, {3, 4, 1}, seed) {}

uint16_t CritModel::rawForAmperes(double amperes) {
    // The inverse of the host's conversion with the calibration above.
    double raw = std::lround(250.0 * amperes + 20.0);
    return static_cast<uint16_t>(std::clamp(raw, 0.0, 65535.0));
}

int CritModel::regulatorCurrent(const Regulator& regulator) const {
    if (!regulator.active) {
        return 0;
    }
    switch (regulator.mode) {
        case 0:
            return regulator.currentSet;
        case 1:
            return std::min(65535, regulator.dutySet * 3);
        default:
            return std::min(65535, regulator.pressureSet * 6 / 5);
    }
}

int CritModel::regulatorDuty(const Regulator& regulator) const {
    if (!regulator.active) {
        return 0;
    }
    return regulator.mode == 1 ? regulator.dutySet
                               : std::min(1000, regulatorCurrent(regulator) / 3);
}

double CritModel::targetPressure() const {
    const Regulator& rail = regulators_[0];
    if (!rail.active) {
        return 0;
    }
    switch (rail.mode) {
        case 0:
            return rail.currentSet * 0.8;
        case 1:
            return rail.dutySet * 3.0;
        default:
            return rail.pressureSet;
    }
}

void CritModel::evolve(double seconds, int64_t) {
    double target = std::min(65535.0, targetPressure());
    pressure_ = target + (pressure_ - target) * std::exp(-seconds / PRESSURE_TIME_CONSTANT_S);
    maxPressure_ = std::max(maxPressure_, pressure_);
}

std::vector<Report> CritModel::onCommand(const Command& command, int64_t nowMs) {
    const unsigned char* data = command.data;
    const unsigned length = command.length();
    switch (command.code()) {
        case codes::PRESSURE_SENSOR:
            // Shared by the sensor type (type, 0) and the maximum pressure reset (0, 1).
            if (length >= 2 && data[1] == 1) {
                maxPressure_ = pressure_;
            }
            break;
        case codes::INJECTOR_PULSE:
            if (length >= 16) {
                channels_ = data[1];
                remainingUs_ = static_cast<uint32_t>(util::chartoi(data, 2));
                firstUs_ = static_cast<uint32_t>(util::chartoi(data, 6));
            }
            break;
        case codes::INJECTOR_STATUS:
            if (command.access() == ACCESS_REQUEST) {
                return {Report{codes::INJECTOR_STATUS, {injectorsActive_}}};
            }
            if (length >= 1) {
                injectorsActive_ = data[0];
            }
            break;
        case codes::INJECTOR_CURRENTS:
            if (length >= 5) {
                i1_ = util::chartou16(data, 1);
                i2_ = util::chartou16(data, 3);
            }
            break;
        case codes::OSC_START:
            if (length >= 1) {
                bool wasOn = osc_ != 0;
                osc_ = data[0];
                if (osc_ && !wasOn) {
                    nextChartMs_ = nowMs;
                }
            }
            break;
        case codes::LEAKAGE:
            if (length >= 10) {
                leakageStarted_ = true;
                leakageStartMs_ = nowMs;
                leakageStart_ = util::chartou16(data, 0);
                leakageLow_ = util::chartou16(data, 4);
                leakageMaxMs_ = util::chartoi(data, 6);
            }
            break;
        case codes::REGULATOR_SET_POINT:
            if (length >= 10 && data[0] < regulators_.size()) {
                Regulator& regulator = regulators_[data[0]];
                regulator.mode = data[9];
                if (data[9] == 0) {
                    regulator.currentSet = util::chartou16(data, 1);
                } else if (data[9] == 1) {
                    regulator.dutySet = util::chartou16(data, 5);
                } else {
                    regulator.pressureSet = util::chartou16(data, 3);
                }
            }
            break;
        case codes::REGULATOR_STATUS:
            if (length >= 2 && data[0] < regulators_.size()) {
                regulators_[data[0]].active = data[1];
            }
            break;
        default:
            break;
    }
    return {};
}

Report CritModel::leakageReport(int64_t nowMs) const {
    Report r{codes::LEAKAGE, std::vector<unsigned char>(8)};
    if (!leakageStarted_ || leakageMaxMs_ <= 0) {
        return r;
    }
    int64_t elapsed = std::min<int64_t>(nowMs - leakageStartMs_, leakageMaxMs_);
    bool running = elapsed < leakageMaxMs_;
    double fraction = static_cast<double>(elapsed) / leakageMaxMs_;
    // The rail is pumped to the start pressure, then leaks down towards the low pressure.
    int pressure = static_cast<int>(leakageStart_ - (leakageStart_ - leakageLow_) * fraction);
    r.payload[0] = running ? 1 : 0;
    r.payload[1] = running ? (fraction < 0.1 ? 1 : 2) : 3;
    util::putBE32(r.payload.data(), 2, static_cast<uint32_t>(elapsed));
    util::putBE16(r.payload.data(), 6, static_cast<uint32_t>(std::max(0, pressure)));
    return r;
}

std::optional<Report> CritModel::report(unsigned char code, int64_t nowMs) {
    switch (code) {
        case codes::PRESSURES: {
            Report r{codes::PRESSURES, std::vector<unsigned char>(5)};
            int pressure = static_cast<int>(std::lround(pressure_));
            if (pressure > 0) {
                pressure = std::max(0, pressure + noise(2));
            }
            util::putBE16(r.payload.data(), 1, static_cast<uint32_t>(std::min(pressure, 65535)));
            util::putBE16(
                r.payload.data(), 3,
                static_cast<uint32_t>(std::lround(std::max<double>(maxPressure_, pressure))));
            return r;
        }
        case codes::INJECTOR_STATUS:
            return Report{codes::INJECTOR_STATUS, {injectorsActive_}};
        case codes::OSC_CALIBRATION: {
            Report r{codes::OSC_CALIBRATION, std::vector<unsigned char>(22)};
            util::putBE16(r.payload.data(), 0, CAL_HY);
            util::putBE16(r.payload.data(), 2, CAL_L);
            util::putBE16(r.payload.data(), 4, CAL_HX);
            util::putBE16(r.payload.data(), 20, CAL_OFFSET);
            return r;
        }
        case codes::LEAKAGE:
            return leakageReport(nowMs);
        case codes::REGULATOR_STATUS: {
            Report r{codes::REGULATOR_STATUS, std::vector<unsigned char>(15)};
            for (std::size_t n = 0; n < regulators_.size(); ++n) {
                int base = static_cast<int>(n) * 5;
                r.payload[base] = regulators_[n].active;
                util::putBE16(r.payload.data(), base + 1,
                              static_cast<uint32_t>(regulatorCurrent(regulators_[n])));
                util::putBE16(r.payload.data(), base + 3,
                              static_cast<uint32_t>(regulatorDuty(regulators_[n])));
            }
            return r;
        }
        case codes::ROTATION_SPEED:
            // The tester has no motor of its own to measure.
            return Report{codes::ROTATION_SPEED, std::vector<unsigned char>(4)};
        default:
            return std::nullopt;
    }
}

std::vector<Report> CritModel::chart(int index) {
    bool pulsing = injectorsActive_ && (channels_ & (1u << index));
    double peak = amperesFromSetting(i1_, DEFAULT_PEAK_A);
    double hold = amperesFromSetting(i2_, DEFAULT_HOLD_A);
    double firstEnd = PULSE_START_US + firstUs_;
    double end = firstEnd + remainingUs_;
    double step = 1.0 - std::exp(-SAMPLE_US / CURRENT_TIME_CONSTANT_US);

    std::vector<uint16_t> samples;
    samples.reserve(CHART_POINTS);
    double amperes = 0;
    for (int point = 0; point < CHART_POINTS; ++point) {
        double t = point * SAMPLE_US;
        double target = 0;
        if (pulsing && t >= PULSE_START_US) {
            target = t < firstEnd ? peak : (t < end ? hold : 0.0);
        }
        amperes += (target - amperes) * step;
        samples.push_back(rawForAmperes(amperes + uniform(-0.05, 0.05)));
    }

    std::vector<Report> segments;
    const unsigned char code = static_cast<unsigned char>(codes::CHART_FIRST + index);
    for (int first = 0; first < CHART_POINTS; first += SEGMENT_POINTS) {
        int count = std::min(SEGMENT_POINTS, CHART_POINTS - first);
        Report segment{code, std::vector<unsigned char>(3 + 2 * count)};
        segment.payload[0] = first == 0 ? 0 : 1;
        util::putBE16(segment.payload.data(), 1, CHART_POINTS);
        for (int i = 0; i < count; ++i) {
            util::putBE16(segment.payload.data(), 3 + 2 * i, samples[first + i]);
        }
        segments.push_back(std::move(segment));
    }
    return segments;
}

std::vector<Report> CritModel::unsolicited(int64_t nowMs) {
    std::vector<Report> reports;
    if (!osc_ || nextChartMs_ < 0 || nowMs < nextChartMs_) {
        return reports;
    }
    for (int index = 0; index < CHART_COUNT; ++index) {
        std::vector<Report> segments = chart(index);
        reports.insert(reports.end(), std::make_move_iterator(segments.begin()),
                       std::make_move_iterator(segments.end()));
    }
    nextChartMs_ += CHART_PERIOD_MS;
    if (nextChartMs_ <= nowMs) {
        nextChartMs_ = nowMs + CHART_PERIOD_MS;
    }
    return reports;
}

int64_t CritModel::nextUnsolicited() const {
    return osc_ ? nextChartMs_ : -1;
}
