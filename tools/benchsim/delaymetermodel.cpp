#include "delaymetermodel.h"

#include <algorithm>

#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"

namespace {
// The count travels as 16 bits; the meter stops counting when it is full.
constexpr int MAX_COUNT = 65535;
}  // namespace

DelayMeterModel::DelayMeterModel(uint32_t seed) : BoardModel(5, {1, 0, 5}, seed) {}

void DelayMeterModel::evolve(double seconds, int64_t) {
    pending_ += seconds * MEASUREMENTS_PER_SECOND;
    while (pending_ >= 1.0 && count_ < MAX_COUNT) {
        pending_ -= 1.0;
        int32_t delay = TYPICAL_DELAY + noise(40);
        min_ = count_ == 0 ? delay : std::min(min_, delay);
        max_ = count_ == 0 ? delay : std::max(max_, delay);
        total_ += delay;
        ++count_;
    }
    if (count_ >= MAX_COUNT) {
        pending_ = 0;
    }
}

std::vector<Report> DelayMeterModel::onCommand(const Command& command, int64_t) {
    if (command.code() == codes::DELAY_RESET) {
        pending_ = 0;
        count_ = 0;
        total_ = min_ = max_ = 0;
    }
    return {};
}

std::optional<Report> DelayMeterModel::report(unsigned char code, int64_t) {
    if (code != codes::DELAY_FIGURES) {
        return std::nullopt;
    }
    Report r{codes::DELAY_FIGURES, std::vector<unsigned char>(15)};
    util::putBE32(r.payload.data(), 1, static_cast<uint32_t>(total_));
    util::putBE16(r.payload.data(), 5, static_cast<uint32_t>(count_));
    util::putBE32(r.payload.data(), 7, static_cast<uint32_t>(min_));
    util::putBE32(r.payload.data(), 11, static_cast<uint32_t>(max_));
    return r;
}
