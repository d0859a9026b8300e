#include "service/logger.h"

#include <ctime>
#include <mutex>

std::ofstream Logger::fout;

namespace {
// One line at a time on the one stream, whichever thread logs.
std::mutex logMutex;

std::string timeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%F_%T", &local);
    return std::string(text, n);
}
}  // namespace

void Logger::loggerInit(const std::string& directory) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    std::lock_guard<std::mutex> lock(logMutex);
    if (fout.is_open()) {
        fout.close();
    }
    fout.clear();
    fout.open(path + timeStamp() + ".txt", std::ios::out | std::ios::trunc);
}

void Logger::debug(std::string message) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (!fout.is_open()) {
        return;
    }
    fout << timeStamp() << " " << message << "\n";
    fout.flush();
}
