#include "replayplan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace {

using capture::Direction;
using capture::Kind;

bool fileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string seconds(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

// A long span, in days or years.
std::string span(int64_t us) {
    const double days = static_cast<double>(us < 0 ? -us : us) / 86400e6;
    char text[48];
    if (days >= 365.25) {
        std::snprintf(text, sizeof text, "%.1f years", days / 365.25);
    } else {
        std::snprintf(text, sizeof text, "%.1f days", days);
    }
    return text;
}

}  // namespace

uint64_t ReplayPlan::frames() const {
    uint64_t count = 0;
    for (const PortPlan& port : ports) {
        for (const ReplaySegment& segment : port.segments) {
            for (const ReplaySegment::Chunk& chunk : segment.chunks) {
                count += chunk.frame ? 1 : 0;
            }
        }
    }
    return count;
}

bool ReplayPlan::build(const std::vector<capture::Record>& records, ReplayPlan& plan,
                       std::string& error) {
    plan = ReplayPlan{};
    if (records.empty()) {
        error = "the capture holds no records";
        return false;
    }
    plan.startUs = std::max<int64_t>(records.front().microseconds, 0);
    plan.endUs = plan.startUs;
    std::map<std::string, std::size_t> index;
    std::map<std::string, bool> open;  // a segment of the port takes records
    std::set<std::string> refused;
    // What the clock jumps so far add up to, taken off every later record's time.
    int64_t jumped = 0;
    int64_t previous = plan.startUs;
    // Each said, up to a few: a damaged file may jump at every record.
    constexpr uint64_t JUMPS_SAID = 3;
    uint64_t jumps = 0;

    for (const capture::Record& record : records) {
        const int64_t stamped = record.microseconds - jumped;
        if (stamped - previous > CLOCK_JUMP_US || previous - stamped > CLOCK_JUMP_US) {
            // The bench's clock was set (an unset clock put right, a clock set back): played
            // as it stands the replay would wait out years, or time would run backwards.
            if (++jumps <= JUMPS_SAID) {
                plan.notes.push_back("the capture's clock jumps " + span(stamped - previous) +
                                     (stamped > previous ? " forward" : " back") + " at " +
                                     seconds(previous - plan.startUs) +
                                     "; the replay goes straight on from there");
            }
            jumped += stamped - previous;
        }
        // Never before the epoch: -1 in the plan stands for "none". A clock set forward from
        // its unset start, then back a little, would take the timeline below it.
        const int64_t us = std::max<int64_t>(record.microseconds - jumped, 0);
        previous = us;
        plan.startUs = std::min(plan.startUs, us);
        plan.endUs = std::max(plan.endUs, us);
        if (record.kind == Kind::Gap) {
            plan.notes.push_back("the capture lost " + std::to_string(capture::gapCount(record)) +
                                 " records at " + seconds(us - plan.startUs) +
                                 "; the replay has a hole there");
            continue;
        }
        const bool boardSide =
            record.direction == Direction::FromBoard || record.direction == Direction::ToBoard ||
            (record.direction == Direction::Daemon &&
             (record.kind == Kind::PortOpened || record.kind == Kind::PortClosed));
        if (!boardSide || record.port.empty()) {
            continue;
        }
        if (!fileName(record.port)) {
            if (refused.insert(record.port).second) {
                plan.notes.push_back("port '" + record.port +
                                     "' is not a file name; its records are left out");
            }
            continue;
        }
        auto found = index.find(record.port);
        if (found == index.end()) {
            found = index.emplace(record.port, plan.ports.size()).first;
            plan.ports.push_back(PortPlan{record.port, {}});
        }
        PortPlan& port = plan.ports[found->second];
        bool& isOpen = open[record.port];

        if (record.kind == Kind::PortClosed) {
            if (isOpen) {
                port.segments.back().closeUs = std::max(us, port.segments.back().openUs);
                isOpen = false;
            }
            continue;
        }
        if (record.kind == Kind::PortOpened || !isOpen) {
            if (isOpen) {
                // Opened twice without a close between: the first stretch ends here.
                port.segments.back().closeUs = std::max(us, port.segments.back().openUs);
            }
            ReplaySegment segment;
            segment.openUs = us;
            port.segments.push_back(segment);
            isOpen = true;
            if (record.kind == Kind::PortOpened) {
                continue;
            }
        }
        ReplaySegment& segment = port.segments.back();
        // Records from several threads may be stamped a little out of order; the line's order
        // is the file's.
        const int64_t at =
            std::max(us, segment.chunks.empty() ? segment.openUs : segment.chunks.back().us);
        if (record.direction == Direction::ToBoard) {
            if (record.kind == Kind::DataFrame && segment.anchorUs < 0) {
                segment.anchorUs = std::max(us, segment.openUs);
                if (plan.firstAnchorUs < 0 || segment.anchorUs < plan.firstAnchorUs) {
                    plan.firstAnchorUs = segment.anchorUs;
                }
            }
            continue;
        }
        if (record.direction != Direction::FromBoard) {
            continue;
        }
        if (record.kind == Kind::DataFrame || record.kind == Kind::Noise) {
            segment.chunks.push_back({at, record.payload, record.kind == Kind::DataFrame});
            segment.lastWordUs = at;
        } else if (record.kind == Kind::AckFrame) {
            segment.lastWordUs = std::max(segment.lastWordUs, us);
        }
    }
    if (jumps > JUMPS_SAID) {
        plan.notes.push_back("the capture's clock jumps " + std::to_string(jumps) +
                             " times in all; the replay waits out none of them");
    }
    if (plan.ports.empty()) {
        error = "the capture holds no board's line";
        return false;
    }
    return true;
}

bool ReplayPlan::load(const std::string& path, ReplayPlan& plan, std::string& error) {
    if (::access(path.c_str(), R_OK) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<capture::Record> records;
    if (!capture::readAll(path, records, error)) {
        const std::string own = "not a benchd capture";
        error = path + ": " + (error.rfind(own, 0) == 0 ? error : own + " (" + error + ")");
        return false;
    }
    if (!build(records, plan, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}
