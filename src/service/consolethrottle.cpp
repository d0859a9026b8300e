#include "service/consolethrottle.h"

#include <utility>

namespace {

std::string summary(const std::string& line, std::size_t times) {
    return line + " (repeated " + std::to_string(times) + " times in the last minute)";
}

}  // namespace

ConsoleThrottle::ConsoleThrottle(std::function<Clock::time_point()> now,
                                 std::chrono::seconds window, Sink sink)
    : now_(std::move(now)), window_(window), sink_(std::move(sink)) {}

void ConsoleThrottle::print(const std::string& key, const std::string& line, console::Stream stream,
                            std::size_t burst) {
    // Printed under the lock, so that a key's lines keep their order.
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        entries_.emplace(key, Entry{now, 1, 0, std::string(), stream});
        sink_(stream, line);
        return;
    }
    Entry& entry = found->second;
    if (now - entry.printed < window_) {
        if (entry.shown < burst) {
            ++entry.shown;
            sink_(stream, line);
            return;
        }
        ++entry.repeats;
        entry.line = line;
        entry.stream = stream;
        return;
    }
    if (entry.repeats > 0) {
        sink_(stream, summary(line, entry.repeats + 1));
    } else {
        sink_(stream, line);
    }
    entry.printed = now;
    entry.shown = 1;
    entry.repeats = 0;
    entry.line.clear();
}

void ConsoleThrottle::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = it->second;
        if (now - entry.printed < window_) {
            ++it;
        } else if (entry.repeats > 0) {
            sink_(entry.stream, summary(entry.line, entry.repeats));
            entry.printed = now;
            entry.shown = 1;
            entry.repeats = 0;
            entry.line.clear();
            ++it;
        } else {
            // Quiet for a whole window: its next occurrence prints as a first one, and the map
            // keeps only keys that are active.
            it = entries_.erase(it);
        }
    }
}

void ConsoleThrottle::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

ConsoleThrottle& consoleThrottle() {
    static ConsoleThrottle throttle;
    return throttle;
}
