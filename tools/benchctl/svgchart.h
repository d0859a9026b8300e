// A line plot of a series as a self-contained SVG document: title, both axes with ticks and
// labels (sample index across, value up), and the series as one polyline of every point.
#pragma once

#include <string>
#include <vector>

class SvgChart {
public:
    static constexpr int WIDTH = 800;
    static constexpr int HEIGHT = 450;

    // The values must be finite (ChartMessage::parse guarantees it).
    static std::string render(const std::string& title, const std::vector<double>& values);
    // Round tick positions (steps of 1, 2 or 5 times a power of ten) covering [low, high]
    // with about `target` intervals; low < high.
    static std::vector<double> ticks(double low, double high, int target);
    // Text with &, <, >, " and ' escaped for XML.
    static std::string escape(const std::string& text);
};
