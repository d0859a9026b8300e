#include "standmodel.h"

#include <algorithm>
#include <cmath>

#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"

namespace {
constexpr double FUEL_TIME_CONSTANT_S = 10.0;
constexpr double MOTOR_TIME_CONSTANT_S = 30.0;
constexpr double PRESSURE_TIME_CONSTANT_S = 1.0;
constexpr double PUMP_PRESSURE_HUNDREDTHS = 350.0;
constexpr double TANK_FULL = 80.0;
constexpr double TANK_EMPTY = 5.0;

// First-order approach of value to target over `seconds`.
double approach(double value, double target, double seconds, double timeConstant) {
    return target + (value - target) * std::exp(-seconds / timeConstant);
}
}  // namespace

StandModel::StandModel(unsigned char deviceId, uint32_t seed)
    : BoardModel(deviceId, {2, 1, 0}, seed) {}

int StandModel::speed() const {
    return static_cast<int>(std::lround(speed_));
}

void StandModel::holdSpeed(int rpm) {
    heldRpm_ = rpm;
    if (rpm >= 0) {
        speed_ = rpm;
    }
}

void StandModel::evolve(double seconds, int64_t) {
    if (heldRpm_ >= 0) {
        speed_ = heldRpm_;
    } else {
        double target = active_ ? rpmSet_ : 0.0;
        double step = RAMP_RPM_PER_SECOND * seconds;
        speed_ =
            speed_ < target ? std::min(target, speed_ + step) : std::max(target, speed_ - step);
    }

    double fuelTarget = temperatureSet_ ? temperatureSetpoint_ : AMBIENT_HUNDREDTHS + speed_ * 0.2;
    fuelTemperature_ = approach(fuelTemperature_, fuelTarget, seconds, FUEL_TIME_CONSTANT_S);
    double motorTarget = AMBIENT_HUNDREDTHS + speed_ - (fan_ ? 500.0 : 0.0);
    motorTemperature_ = approach(motorTemperature_, motorTarget, seconds, MOTOR_TIME_CONSTANT_S);

    pressure_ = approach(pressure_, pump_ ? PUMP_PRESSURE_HUNDREDTHS : 0.0, seconds,
                         PRESSURE_TIME_CONSTANT_S);
    tank_ = pump_ ? std::max(TANK_EMPTY, tank_ - 0.2 * seconds)
                  : std::min(TANK_FULL, tank_ + 0.1 * seconds);
}

std::vector<Report> StandModel::onCommand(const Command& command, int64_t) {
    const unsigned char* data = command.data;
    const unsigned length = command.length();
    switch (command.code()) {
        case codes::ROTATION_SPEED:
            if (length >= 3) {
                rpmSet_ = util::chartou16(data, 0);
                direction_ = data[2];
            }
            break;
        case codes::ROTATION_ACTIVE:
            if (length >= 1) {
                active_ = data[0];
            }
            break;
        case codes::TEMPERATURE:
            if (length >= 4) {
                temperatureSet_ = true;
                temperatureSetpoint_ = util::chartoi(data, 0);
            }
            break;
        case codes::STAND_SWITCH:
            // Selector 0 is the fan, 1 the pump; the board knows no other.
            if (length >= 2 && data[0] == 0) {
                fan_ = data[1];
            } else if (length >= 2 && data[0] == 1) {
                pump_ = data[1];
            }
            break;
        default:
            break;
    }
    return {};
}

std::optional<Report> StandModel::report(unsigned char code, int64_t) {
    switch (code) {
        case codes::ROTATION_SPEED: {
            int rpm = speed();
            if (active_ && rpm > 0) {
                rpm = std::max(0, rpm + noise(2));
            }
            Report r{codes::ROTATION_SPEED, std::vector<unsigned char>(4)};
            util::putBE32(r.payload.data(), 0, static_cast<uint32_t>(rpm));
            return r;
        }
        case codes::ROTATION_ACTIVE:
            return Report{codes::ROTATION_ACTIVE, {active_}};
        case codes::TEMPERATURE: {
            Report r{codes::TEMPERATURE, std::vector<unsigned char>(11)};
            r.payload[0] = temperatureSet_ ? 1 : 0;
            util::putBE32(
                r.payload.data(), 3,
                static_cast<uint32_t>(static_cast<int32_t>(std::lround(fuelTemperature_))));
            util::putBE32(
                r.payload.data(), 7,
                static_cast<uint32_t>(static_cast<int32_t>(std::lround(motorTemperature_))));
            return r;
        }
        case codes::STAND_STATE: {
            unsigned char tank = static_cast<unsigned char>(std::lround(tank_));
            return Report{codes::STAND_STATE,
                          {fan_, pump_, active_, direction_, tank,
                           static_cast<unsigned char>(temperatureSet_ ? 1 : 0)}};
        }
        case codes::PRESSURES: {
            int pressure = static_cast<int>(std::lround(pressure_));
            if (pump_) {
                pressure = std::max(0, pressure + noise(3));
            }
            Report r{codes::PRESSURES, std::vector<unsigned char>(4)};
            util::putBE16(r.payload.data(), 2, static_cast<uint32_t>(pressure) & 0xFFFFu);
            return r;
        }
        default:
            return std::nullopt;
    }
}
