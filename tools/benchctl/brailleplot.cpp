#include "brailleplot.h"

#include <algorithm>
#include <cmath>

namespace {

// The dot bit of column x (0 or 1) and row y (0 top to 3) in a braille cell (U+2800 + bits).
unsigned char dotBit(int x, int y) {
    static const unsigned char bits[2][4] = {{0x01, 0x02, 0x04, 0x40}, {0x08, 0x10, 0x20, 0x80}};
    return bits[x][y];
}

}  // namespace

std::vector<std::string> BraillePlot::render(const std::vector<double>& values, int columns,
                                             int rows, bool braille) {
    columns = std::max(columns, 0);
    rows = std::max(rows, 0);
    const int dotsX = braille ? 2 : 1;
    const int dotsY = braille ? 4 : 1;
    const int width = columns * dotsX;
    const int height = rows * dotsY;
    std::vector<std::vector<bool>> dots(height, std::vector<bool>(width, false));
    if (!values.empty() && width > 0 && height > 0) {
        auto [lowIt, highIt] = std::minmax_element(values.begin(), values.end());
        const double low = *lowIt;
        const double span = *highIt - low;
        auto yOf = [&](double value) {
            if (span <= 0) {
                return height / 2;
            }
            int y = static_cast<int>(std::lround((value - low) / span * (height - 1)));
            return height - 1 - std::clamp(y, 0, height - 1);
        };
        const std::size_t count = values.size();
        double previous = values[0];
        for (int x = 0; x < width; ++x) {
            std::size_t begin = count * static_cast<std::size_t>(x) / width;
            std::size_t end = std::max(begin + 1, count * static_cast<std::size_t>(x + 1) / width);
            if (begin >= count) {
                break;
            }
            end = std::min(end, count);
            double lowHere = previous;
            double highHere = previous;
            for (std::size_t i = begin; i < end; ++i) {
                lowHere = std::min(lowHere, values[i]);
                highHere = std::max(highHere, values[i]);
            }
            previous = values[end - 1];
            for (int y = yOf(highHere); y <= yOf(lowHere); ++y) {
                dots[y][x] = true;
            }
        }
    }
    std::vector<std::string> lines;
    for (int row = 0; row < rows; ++row) {
        std::string line;
        for (int column = 0; column < columns; ++column) {
            if (!braille) {
                line += dots[row][column] ? '*' : ' ';
                continue;
            }
            unsigned bits = 0;
            for (int x = 0; x < 2; ++x) {
                for (int y = 0; y < 4; ++y) {
                    if (dots[row * 4 + y][column * 2 + x]) {
                        bits |= dotBit(x, y);
                    }
                }
            }
            line += static_cast<char>(0xE2);
            line += static_cast<char>(0xA0 + (bits >> 6));
            line += static_cast<char>(0x80 + (bits & 0x3F));
        }
        lines.push_back(line);
    }
    return lines;
}
