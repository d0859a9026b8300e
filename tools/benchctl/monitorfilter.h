// Which daemon messages `benchctl monitor` prints, and how: one line per message, stamped
// with the local time of arrival. The monitor port's own notices (monitor_dropped: messages
// this observer lost; monitor_error) pass every filter and are marked, so that a gap or a
// refusal is never silent.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

class MonitorFilter {
public:
    // Keys as "device_rpm" or "device_rpm:"; none means every message. Lines longer than
    // `cut` characters (0: no limit) are shortened and end in "...".
    explicit MonitorFilter(const std::vector<std::string>& keys = {}, std::size_t cut = 0);
    bool matches(const std::string& message) const;
    // "HH:MM:SS.mmm message" for a message that passes the filter; a notice is never cut and
    // reads "HH:MM:SS.mmm *** monitor_dropped:57 (57 messages lost: ...)".
    std::optional<std::string> line(std::chrono::system_clock::time_point when,
                                    const std::string& message) const;
    // The text before the first ":" (the whole message when it has none).
    static std::string keyOf(const std::string& message);
    // monitor_dropped or monitor_error.
    static bool isNotice(const std::string& message);

private:
    std::set<std::string> keys_;
    std::size_t cut_;
};
