#include "reportscheduler.h"

#include <algorithm>

bool ReportScheduler::add(unsigned char code, int64_t periodMs, int64_t nowMs) {
    if (periodMs <= 0) {
        return false;
    }
    periodMs = std::max(periodMs, MIN_PERIOD_MS);
    for (Entry& entry : entries_) {
        if (entry.code == code) {
            entry.periodMs = periodMs;
            entry.nextMs = nowMs + periodMs;
            return true;
        }
    }
    if (entries_.size() >= MAX_ENTRIES) {
        return false;
    }
    entries_.push_back({code, periodMs, nowMs + periodMs});
    return true;
}

void ReportScheduler::clear() {
    entries_.clear();
}

std::vector<unsigned char> ReportScheduler::due(int64_t nowMs) {
    std::vector<unsigned char> codes;
    for (Entry& entry : entries_) {
        if (entry.nextMs <= nowMs) {
            codes.push_back(entry.code);
            entry.nextMs += entry.periodMs;
            // A board that fell behind (a stalled loop) skips the missed reports, no burst.
            if (entry.nextMs <= nowMs) {
                entry.nextMs = nowMs + entry.periodMs;
            }
        }
    }
    return codes;
}

int64_t ReportScheduler::nextDue() const {
    int64_t next = -1;
    for (const Entry& entry : entries_) {
        if (next < 0 || entry.nextMs < next) {
            next = entry.nextMs;
        }
    }
    return next;
}

int64_t ReportScheduler::periodOf(unsigned char code) const {
    for (const Entry& entry : entries_) {
        if (entry.code == code) {
            return entry.periodMs;
        }
    }
    return -1;
}
