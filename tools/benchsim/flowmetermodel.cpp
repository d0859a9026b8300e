#include "flowmetermodel.h"

#include <cmath>

#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"

namespace {
constexpr unsigned char FLOW_DIVISOR = 10;
constexpr int32_t CALIBRATION_DENOMINATOR = 1000000;
}  // namespace

FlowmeterModel::FlowmeterModel(uint32_t seed) : BoardModel(12, {1, 2, 0}, seed) {
    for (int k = 0; k < CHANNELS; ++k) {
        rates_[k] = 40.0 + 2.0 * k + uniform(-1.0, 1.0);
        // Ratios near 1.00 after the host's scaling by 1000.
        calibration_[k] = 1000 + noise(20);
    }
}

uint64_t FlowmeterModel::volume(int channel) const {
    return static_cast<uint64_t>(volumes_[channel]);
}

void FlowmeterModel::evolve(double seconds, int64_t) {
    for (int k = 0; k < CHANNELS; ++k) {
        volumes_[k] += rates_[k] * seconds;
    }
}

std::vector<Report> FlowmeterModel::onCommand(const Command& command, int64_t) {
    if (command.code() == codes::FLOW_RESET) {
        volumes_.fill(0.0);
    }
    return {};
}

std::optional<Report> FlowmeterModel::report(unsigned char code, int64_t) {
    if (code == codes::FLOW) {
        // Each record is a dividend over a divisor; the remainder is below the divisor.
        Report r{codes::FLOW, std::vector<unsigned char>(9 * CHANNELS)};
        for (int k = 0; k < CHANNELS; ++k) {
            uint64_t dividend = volume(k) * FLOW_DIVISOR + static_cast<uint64_t>(k % FLOW_DIVISOR);
            r.payload[9 * k] = FLOW_DIVISOR;
            util::putBE32(r.payload.data(), 9 * k + 1, static_cast<uint32_t>(dividend >> 32));
            util::putBE32(r.payload.data(), 9 * k + 5, static_cast<uint32_t>(dividend));
        }
        return r;
    }
    if (code == codes::FLOW_CALIBRATION) {
        Report r{codes::FLOW_CALIBRATION, std::vector<unsigned char>(8 * CHANNELS)};
        for (int k = 0; k < CHANNELS; ++k) {
            util::putBE32(r.payload.data(), 8 * k, static_cast<uint32_t>(CALIBRATION_DENOMINATOR));
            util::putBE32(r.payload.data(), 8 * k + 4, static_cast<uint32_t>(calibration_[k]));
        }
        return r;
    }
    return std::nullopt;
}
