// Keeps a console line that repeats because a condition persists (a failing write on a dying
// port, a failed accept) from flooding the journal: the first occurrence is printed, repeats are
// counted, and "<line> (repeated N times in the last minute)" follows at most once a minute
// while they go on. A line that ordinary use repeats now and then (a client connecting) may
// have a burst: that many of its lines are printed in a window before repeats are counted.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "service/console.h"

class ConsoleThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(console::Stream, std::string)>;
    // The clock and the sink are injectable so that tests can step through minutes and read
    // what was printed; by default lines go to the console.
    explicit ConsoleThrottle(std::function<Clock::time_point()> now = Clock::now,
                             std::chrono::seconds window = std::chrono::seconds(60),
                             Sink sink = console::line);

    // One occurrence of `line` (given without its line end) under `key`: printed on `stream`
    // when the key has printed fewer than `burst` lines within the window, counted as a repeat
    // otherwise. A repeat arriving after the window closes the count with the summary line.
    // Safe from any thread.
    void print(const std::string& key, const std::string& line,
               console::Stream stream = console::Stream::OUT, std::size_t burst = 1);
    // Prints the summaries of keys whose window is over and forgets keys that stayed quiet for
    // a whole window. The watcher calls it on every pass. Safe from any thread.
    void flush();
    // Forgets every key without printing. Safe from any thread.
    void clear();

private:
    struct Entry {
        Clock::time_point printed;  // the first printed line of the key's window
        std::size_t shown = 1;      // lines printed in the window
        std::size_t repeats = 0;    // occurrences in the window, not printed
        std::string line;           // the latest of them
        console::Stream stream = console::Stream::OUT;
    };

    std::function<Clock::time_point()> now_;
    std::chrono::seconds window_;
    Sink sink_;
    std::mutex mutex_;                      // a leaf: nothing else is taken under it
    std::map<std::string, Entry> entries_;  // guarded by mutex_
};

// The daemon's throttle, shared by every thread that prints such a line.
ConsoleThrottle& consoleThrottle();
