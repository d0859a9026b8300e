#include "runlog.h"

#include <time.h>

#include <stdexcept>

namespace chaos {

int64_t nowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

RunLog::RunLog(const std::string& path) : file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
}

RunLog::~RunLog() {
    std::fclose(file_);
}

void RunLog::line(const std::string& text) {
    lineAt(nowUs(), text);
}

void RunLog::lineAt(int64_t us, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(file_, "%lld %s\n", static_cast<long long>(us), text.c_str());
}

void RunLog::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fflush(file_);
}

}  // namespace chaos
