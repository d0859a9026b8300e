#include "chartmessage.h"

#include <cmath>
#include <cstdlib>

std::string ChartMessage::keyFor(int chart) {
    if (chart == 1) {
        return "injector_chart";
    }
    if (chart >= 2 && chart <= CHARTS) {
        return "injector_chart" + std::to_string(chart);
    }
    return {};
}

bool ChartMessage::parse(const std::string& message, int chart, std::vector<double>& values) {
    const std::string key = keyFor(chart);
    if (key.empty() || message.compare(0, key.size() + 1, key + ":") != 0) {
        return false;
    }
    values.clear();
    std::size_t at = key.size() + 1;
    while (at <= message.size()) {
        std::size_t comma = message.find(',', at);
        std::string piece =
            message.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char* end = nullptr;
        double value = std::strtod(piece.c_str(), &end);
        if (piece.empty() || *end != '\0' || !std::isfinite(value)) {
            values.clear();
            return false;
        }
        values.push_back(value);
        if (comma == std::string::npos) {
            break;
        }
        at = comma + 1;
    }
    return !values.empty();
}
