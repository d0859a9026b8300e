// The chaos run's logs: one line per event, each stamped with CLOCK_MONOTONIC in microseconds,
// the clock benchsim stamps its frame log with, so that the logs of all the run's processes
// line up. Written by the run, read by chaoscheck.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace chaos {

int64_t nowUs();

// A log file shared by the run's threads; every line is written whole.
class RunLog {
public:
    explicit RunLog(const std::string& path);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // "<now> <text>\n"
    void line(const std::string& text);
    void lineAt(int64_t us, const std::string& text);
    void flush();

private:
    std::mutex mutex_;
    std::FILE* file_;  // guarded by mutex_
};

}  // namespace chaos
