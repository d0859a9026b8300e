// The test stand: a drive motor that ramps to its set-point while rotation is on, a pump
// that builds pressure and draws on the tank, a fan, and two temperatures (fuel, following
// the set-point; motor, warming with speed).
#pragma once

#include "boardmodel.h"

class StandModel : public BoardModel {
public:
    static constexpr double RAMP_RPM_PER_SECOND = 1000.0;
    static constexpr int AMBIENT_HUNDREDTHS = 2200;

    StandModel(unsigned char deviceId, uint32_t seed);
    int speed() const;
    // A stuck drive: the motor turns at `rpm` from now on, whatever the host sets, while the
    // stand goes on reporting the rotation state the host set. Negative for a sound motor.
    void holdSpeed(int rpm);

protected:
    void evolve(double seconds, int64_t nowMs) override;
    std::vector<Report> onCommand(const Command& command, int64_t nowMs) override;
    std::optional<Report> report(unsigned char code, int64_t nowMs) override;

private:
    int rpmSet_ = 0;
    unsigned char direction_ = 0;
    unsigned char active_ = 0;
    unsigned char fan_ = 0;
    unsigned char pump_ = 0;
    bool temperatureSet_ = false;
    int32_t temperatureSetpoint_ = 0;  // hundredths
    int heldRpm_ = -1;
    double speed_ = 0;
    double fuelTemperature_ = AMBIENT_HUNDREDTHS;
    double motorTemperature_ = AMBIENT_HUNDREDTHS;
    double pressure_ = 0;  // hundredths
    double tank_ = 80;     // percent
};
