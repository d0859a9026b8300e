#include "logger.h"

#include <ctime>

std::ofstream Logger::fout;

namespace {
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
    if (fout.is_open()) {
        fout.close();
    }
    fout.clear();
    fout.open(directory + timeStamp() + ".txt", std::ios::out | std::ios::trunc);
}

void Logger::debug(std::string message) {
    if (!fout.is_open()) {
        return;
    }
    fout << timeStamp() << " " << message << "\n";
    fout.flush();
}
