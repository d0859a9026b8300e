// The delay meter: measures the injector opening delay ten times a second and reports the
// count, total, minimum and maximum since the last reset (code 60).
#pragma once

#include "boardmodel.h"

class DelayMeterModel : public BoardModel {
public:
    static constexpr int MEASUREMENTS_PER_SECOND = 10;
    static constexpr int TYPICAL_DELAY = 350;

    explicit DelayMeterModel(uint32_t seed);
    int count() const { return count_; }

protected:
    void evolve(double seconds, int64_t nowMs) override;
    std::vector<Report> onCommand(const Command& command, int64_t nowMs) override;
    std::optional<Report> report(unsigned char code, int64_t nowMs) override;

private:
    double pending_ = 0;  // measurements due but not yet taken
    int count_ = 0;
    int32_t total_ = 0;
    int32_t min_ = 0;
    int32_t max_ = 0;
};
