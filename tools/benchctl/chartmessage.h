// The daemon's oscillogram chart messages: "injector_chart:" for chart 1,
// "injector_chart2:" to "injector_chart6:" for the others, values separated by ",".
#pragma once

#include <string>
#include <vector>

class ChartMessage {
public:
    static constexpr int CHARTS = 6;

    // The key without its ":" for charts 1 to 6; empty for any other number.
    static std::string keyFor(int chart);
    // The values of a message (without ";") of chart `chart`; false when the message is
    // another one, or holds no values, or a value that is not a finite number.
    static bool parse(const std::string& message, int chart, std::vector<double>& values);
};
