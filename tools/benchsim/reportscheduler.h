// The board's table of periodic reports, as the host programs it with message code 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ReportScheduler {
public:
    // A table never grows past this; a board has little memory and the host sends at most ten.
    static constexpr std::size_t MAX_ENTRIES = 64;
    // Shorter periods are raised to this, so that a bad period cannot flood the line.
    static constexpr int64_t MIN_PERIOD_MS = 10;

    // Schedules `code` every `periodMs`, first at nowMs + periodMs. A code already in the table
    // takes the new period. Refused (false) for a period of 0 or less, or a full table.
    bool add(unsigned char code, int64_t periodMs, int64_t nowMs);
    void clear();
    // The codes due at nowMs, in table order; each one's next time moves on by its period.
    std::vector<unsigned char> due(int64_t nowMs);
    // The earliest next time of any entry, or -1 for an empty table.
    int64_t nextDue() const;
    std::size_t size() const { return entries_.size(); }
    // The period of `code`, or -1 when it is not scheduled.
    int64_t periodOf(unsigned char code) const;

private:
    struct Entry {
        unsigned char code;
        int64_t periodMs;
        int64_t nextMs;
    };
    std::vector<Entry> entries_;
};
