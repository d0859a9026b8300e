// A series drawn as a small line plot in text: braille characters (2 x 4 dots a cell) in a
// UTF-8 terminal, or '*' in plain ASCII. Each column shows the lowest to the highest value of
// the samples it covers, joined to the previous column, so that spikes and steps stay visible.
#pragma once

#include <string>
#include <vector>

class BraillePlot {
public:
    // `rows` lines of exactly `columns` characters (UTF-8 when `braille`); the values must be
    // finite. No values gives blank lines; equal values a line across the middle.
    static std::vector<std::string> render(const std::vector<double>& values, int columns, int rows,
                                           bool braille);
};
