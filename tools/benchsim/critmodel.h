// The common-rail injector tester: injector pulses on up to six outputs, three pressure
// regulator channels that drive the rail pressure, a leakage test, and six oscillogram
// charts of the injector currents streamed in segments while the oscillogram is on.
#pragma once

#include <array>

#include "boardmodel.h"

class CritModel : public BoardModel {
public:
    static constexpr int CHART_COUNT = 6;
    static constexpr int CHART_POINTS = 200;
    static constexpr int SEGMENT_POINTS = 40;
    static constexpr int64_t CHART_PERIOD_MS = 1000;
    // Oscillogram calibration the board reports (code 16); a sample raw converts to
    // 0.004 * raw - 0.08 amperes with it.
    static constexpr int CAL_HY = 3;
    static constexpr int CAL_L = 10;
    static constexpr int CAL_HX = 2;
    static constexpr int CAL_OFFSET = 40;

    CritModel(unsigned char deviceId, uint32_t seed);
    std::vector<Report> unsolicited(int64_t nowMs) override;
    int64_t nextUnsolicited() const override;
    // The raw sample that converts to `amperes` with the reported calibration.
    static uint16_t rawForAmperes(double amperes);

protected:
    void evolve(double seconds, int64_t nowMs) override;
    std::vector<Report> onCommand(const Command& command, int64_t nowMs) override;
    std::optional<Report> report(unsigned char code, int64_t nowMs) override;

private:
    struct Regulator {
        unsigned char active = 0;
        unsigned char mode = 0;  // 0 current, 1 duty cycle, 2 pressure
        int currentSet = 0;      // thousandths
        int dutySet = 0;         // tenths
        int pressureSet = 0;
    };
    // Measured current (thousandths) and duty cycle (tenths) of a regulator channel.
    int regulatorCurrent(const Regulator& regulator) const;
    int regulatorDuty(const Regulator& regulator) const;
    double targetPressure() const;
    std::vector<Report> chart(int index);
    Report leakageReport(int64_t nowMs) const;

    unsigned char channels_ = 1;
    uint32_t firstUs_ = 200;
    uint32_t remainingUs_ = 1000;
    unsigned char injectorsActive_ = 0;
    int i1_ = 25000;
    int i2_ = 25000;
    unsigned char osc_ = 0;
    int64_t nextChartMs_ = -1;
    std::array<Regulator, 3> regulators_{};
    double pressure_ = 0;
    double maxPressure_ = 0;
    bool leakageStarted_ = false;
    int64_t leakageStartMs_ = 0;
    int leakageStart_ = 0;
    int leakageLow_ = 0;
    int32_t leakageMaxMs_ = 0;
};
