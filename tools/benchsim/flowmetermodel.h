// The flowmeter: ten measuring channels whose volumes grow from the last reset (code 56),
// each at its own rate, and a fixed calibration ratio per channel.
#pragma once

#include <array>

#include "boardmodel.h"

class FlowmeterModel : public BoardModel {
public:
    static constexpr int CHANNELS = 10;

    explicit FlowmeterModel(uint32_t seed);
    // The volume of a channel since the last reset, in the units the board reports.
    uint64_t volume(int channel) const;

protected:
    void evolve(double seconds, int64_t nowMs) override;
    std::vector<Report> onCommand(const Command& command, int64_t nowMs) override;
    std::optional<Report> report(unsigned char code, int64_t nowMs) override;

private:
    std::array<double, CHANNELS> rates_{};  // units per second
    std::array<double, CHANNELS> volumes_{};
    std::array<int32_t, CHANNELS> calibration_{};  // ratio numerators over 1,000,000
};
