#include "svgchart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double LEFT = 80;
constexpr double RIGHT = 24;
constexpr double TOP = 48;
constexpr double BOTTOM = 64;

double niceStep(double low, double high, int target) {
    double raw = (high - low) / std::max(1, target);
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double fraction = raw / magnitude;
    double nice = fraction < 1.5 ? 1 : fraction < 3 ? 2 : fraction < 7 ? 5 : 10;
    return nice * magnitude;
}

// Enough decimals to tell neighbouring ticks apart, and no more.
std::string tickLabel(double value, double step) {
    int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::min(decimals, 9), value);
    std::string label = text;
    if (label.find_first_not_of("-0.") == std::string::npos) {
        label = "0";  // not "-0.00"
    }
    return label;
}

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

std::vector<double> SvgChart::ticks(double low, double high, int target) {
    std::vector<double> positions;
    if (!(low < high) || !std::isfinite(low) || !std::isfinite(high)) {
        return positions;
    }
    double step = niceStep(low, high, target);
    for (double k = std::ceil(low / step - 1e-9); k * step <= high + step * 1e-9; k += 1) {
        positions.push_back(k * step);
    }
    return positions;
}

std::string SvgChart::escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string SvgChart::render(const std::string& title, const std::vector<double>& values) {
    const double plotWidth = WIDTH - LEFT - RIGHT;
    const double plotHeight = HEIGHT - TOP - BOTTOM;

    double xHigh = values.size() > 1 ? static_cast<double>(values.size() - 1) : 1.0;
    double yLow = 0;
    double yHigh = 1;
    if (!values.empty()) {
        auto [minIt, maxIt] = std::minmax_element(values.begin(), values.end());
        yLow = *minIt;
        yHigh = *maxIt;
    }
    if (!(yLow < yHigh)) {
        yLow -= 1;
        yHigh += 1;
    }
    // Widen the value range to whole ticks so that the plot starts and ends on a label.
    double yStep = niceStep(yLow, yHigh, 6);
    yLow = std::floor(yLow / yStep) * yStep;
    yHigh = std::ceil(yHigh / yStep) * yStep;

    auto px = [&](double index) { return LEFT + index / xHigh * plotWidth; };
    auto py = [&](double value) { return TOP + (yHigh - value) / (yHigh - yLow) * plotHeight; };

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(WIDTH) +
           "\" height=\"" + std::to_string(HEIGHT) + "\" viewBox=\"0 0 " + std::to_string(WIDTH) +
           " " + std::to_string(HEIGHT) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect x=\"0\" y=\"0\" width=\"" + std::to_string(WIDTH) + "\" height=\"" +
           std::to_string(HEIGHT) + "\" fill=\"white\"/>\n";
    svg += "<text x=\"" + num(WIDTH / 2.0) +
           "\" y=\"28\" text-anchor=\"middle\" font-size=\"16\">" + escape(title) + "</text>\n";

    svg += "<g stroke=\"#dddddd\" stroke-width=\"1\">\n";
    std::vector<double> xTicks = ticks(0, xHigh, 10);
    xTicks.erase(
        std::remove_if(xTicks.begin(), xTicks.end(), [](double x) { return x != std::floor(x); }),
        xTicks.end());
    std::vector<double> yTicks = ticks(yLow, yHigh, 6);
    for (double x : xTicks) {
        svg += "<line x1=\"" + num(px(x)) + "\" y1=\"" + num(TOP) + "\" x2=\"" + num(px(x)) +
               "\" y2=\"" + num(TOP + plotHeight) + "\"/>\n";
    }
    for (double y : yTicks) {
        svg += "<line x1=\"" + num(LEFT) + "\" y1=\"" + num(py(y)) + "\" x2=\"" +
               num(LEFT + plotWidth) + "\" y2=\"" + num(py(y)) + "\"/>\n";
    }
    svg += "</g>\n";

    svg += "<g stroke=\"black\" stroke-width=\"1\">\n";
    svg += "<line x1=\"" + num(LEFT) + "\" y1=\"" + num(TOP + plotHeight) + "\" x2=\"" +
           num(LEFT + plotWidth) + "\" y2=\"" + num(TOP + plotHeight) + "\"/>\n";
    svg += "<line x1=\"" + num(LEFT) + "\" y1=\"" + num(TOP) + "\" x2=\"" + num(LEFT) + "\" y2=\"" +
           num(TOP + plotHeight) + "\"/>\n";
    for (double x : xTicks) {
        svg += "<line x1=\"" + num(px(x)) + "\" y1=\"" + num(TOP + plotHeight) + "\" x2=\"" +
               num(px(x)) + "\" y2=\"" + num(TOP + plotHeight + 5) + "\"/>\n";
    }
    for (double y : yTicks) {
        svg += "<line x1=\"" + num(LEFT - 5) + "\" y1=\"" + num(py(y)) + "\" x2=\"" + num(LEFT) +
               "\" y2=\"" + num(py(y)) + "\"/>\n";
    }
    svg += "</g>\n";

    svg += "<g fill=\"black\">\n";
    double xStep = xTicks.size() > 1 ? xTicks[1] - xTicks[0] : 1.0;
    for (double x : xTicks) {
        svg += "<text x=\"" + num(px(x)) + "\" y=\"" + num(TOP + plotHeight + 20) +
               "\" text-anchor=\"middle\">" + tickLabel(x, xStep) + "</text>\n";
    }
    double yTickStep = yTicks.size() > 1 ? yTicks[1] - yTicks[0] : yStep;
    for (double y : yTicks) {
        svg += "<text x=\"" + num(LEFT - 8) + "\" y=\"" + num(py(y) + 4) +
               "\" text-anchor=\"end\">" + tickLabel(y, yTickStep) + "</text>\n";
    }
    svg += "<text x=\"" + num(LEFT + plotWidth / 2) + "\" y=\"" + num(HEIGHT - 16.0) +
           "\" text-anchor=\"middle\">index</text>\n";
    svg += "<text x=\"20\" y=\"" + num(TOP + plotHeight / 2) +
           "\" text-anchor=\"middle\" transform=\"rotate(-90 20 " + num(TOP + plotHeight / 2) +
           ")\">value</text>\n";
    svg += "</g>\n";

    svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.5\" points=\"";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            svg += ' ';
        }
        svg += num(px(static_cast<double>(i))) + "," + num(py(values[i]));
    }
    svg += "\"/>\n";
    svg += "</svg>\n";
    return svg;
}
