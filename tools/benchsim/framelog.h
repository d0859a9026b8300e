// The frame log (--frame-log FILE): one line per frame, acknowledgement, noise run and event
// of every board, stamped with CLOCK_MONOTONIC in microseconds so that it lines up with the
// logs of other processes on the machine. Lines are buffered and written whole with write(2)
// when 64 KiB gather, at least every 100 ms, and at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocolendpoint.h"
#include "service/filedescriptor.h"

class FrameLog {
public:
    static constexpr std::size_t FLUSH_BYTES = 64 * 1024;
    static constexpr int64_t FLUSH_US = 100 * 1000;

    ~FrameLog();
    // Opens FILE for appending (made if missing); false with a reason.
    bool open(const std::string& path, std::string& error);
    // "<t_us> <board> <text>", stamped now.
    void add(const std::string& board, const std::string& text);
    // Writes the buffered lines when they are due, or at once with `force`. False once a write
    // failed (the log is then given up, said once by the caller).
    bool flush(bool force = false);
    // Microseconds until the buffered lines are due; -1 when nothing waits.
    int64_t dueInUs() const;

    // The text of a line, from "tx" or "rx" on.
    static std::string sent(const LineEvent& piece);
    static std::string received(const LineEvent& piece);
    static std::string lost(const LineEvent& piece, const char* reason);
    static int64_t monotonicUs();
    // Why the last flush failed.
    const std::string& error() const { return error_; }

private:
    FileDescriptor fd_;
    std::string buffer_;
    int64_t oldestUs_ = -1;  // when the oldest buffered line was added
    bool failed_ = false;
    std::string error_;
};
