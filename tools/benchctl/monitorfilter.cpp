#include "monitorfilter.h"

#include <cstdio>
#include <ctime>

MonitorFilter::MonitorFilter(const std::vector<std::string>& keys, std::size_t cut) : cut_(cut) {
    for (std::string key : keys) {
        while (!key.empty() && (key.back() == ':' || key.back() == ';')) {
            key.pop_back();
        }
        if (!key.empty()) {
            keys_.insert(key);
        }
    }
}

std::string MonitorFilter::keyOf(const std::string& message) {
    return message.substr(0, message.find(':'));
}

bool MonitorFilter::isNotice(const std::string& message) {
    const std::string key = keyOf(message);
    return key == "monitor_dropped" || key == "monitor_error";
}

bool MonitorFilter::matches(const std::string& message) const {
    return keys_.empty() || keys_.count(keyOf(message)) > 0 || isNotice(message);
}

std::optional<std::string> MonitorFilter::line(std::chrono::system_clock::time_point when,
                                               const std::string& message) const {
    if (!matches(message)) {
        return std::nullopt;
    }
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis < 0 ? millis + 1000 : millis));
    if (isNotice(message)) {
        std::string value = message.substr(message.find(':') + 1);
        return stamp + std::string("*** ") + message +
               (keyOf(message) == "monitor_dropped"
                    ? " (" + value + " messages lost: this monitor did not keep up)"
                    : std::string(" (from benchd's monitor port)"));
    }
    std::string line = stamp + message;
    if (cut_ > 0 && line.size() > cut_) {
        line.resize(cut_ > 3 ? cut_ - 3 : 0);
        line += "...";
    }
    return line;
}
