// What one simulated board knows and reports: its identity, its settings as the host set
// them, and figures that evolve with time. Subclasses model each kind of board; this base
// answers the version request and echoes the last settings of codes it has no report for.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

class Command;

// One data frame the board sends: message code and payload.
struct Report {
    unsigned char code;
    std::vector<unsigned char> payload;
};

class BoardModel {
public:
    BoardModel(unsigned char deviceId, std::array<unsigned char, 3> version, uint32_t seed);
    virtual ~BoardModel();
    BoardModel(const BoardModel&) = delete;
    BoardModel& operator=(const BoardModel&) = delete;

    unsigned char deviceId() const { return deviceId_; }
    // The version reply: {major, minor, patch, device id}.
    Report versionReply() const;
    // Brings the figures up to nowMs; time never runs backwards.
    void advanceTo(int64_t nowMs);
    // Acts on one data frame from the host (the schedule excepted); returns the reports the
    // board sends at once in answer.
    std::vector<Report> handle(const Command& command, int64_t nowMs);
    // The report for a scheduled code at nowMs, or nothing when the board has none for it.
    std::optional<Report> scheduledReport(unsigned char code, int64_t nowMs);
    // Reports the board sends on its own at nowMs (chart streams).
    virtual std::vector<Report> unsolicited(int64_t nowMs);
    // When the board next wants to send on its own; -1 for never.
    virtual int64_t nextUnsolicited() const;

protected:
    // Moves the figures on by `seconds`, ending at nowMs.
    virtual void evolve(double seconds, int64_t nowMs);
    virtual std::vector<Report> onCommand(const Command& command, int64_t nowMs);
    virtual std::optional<Report> report(unsigned char code, int64_t nowMs);
    // Uniform noise in [-amplitude, amplitude].
    int noise(int amplitude);
    double uniform(double low, double high);

private:
    unsigned char deviceId_;
    std::array<unsigned char, 3> version_;
    std::mt19937 random_;
    int64_t lastMs_ = -1;
    // The last payload the host set per code, echoed when that code is scheduled.
    std::map<unsigned char, std::vector<unsigned char>> lastSettings_;
};
