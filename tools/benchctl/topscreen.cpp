#include "topscreen.h"

#include <algorithm>
#include <cstdio>

#include "brailleplot.h"

namespace {

std::string pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string padLeft(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

std::string TopScreen::fit(const std::string& line, int width) {
    std::string out;
    int characters = 0;
    for (std::size_t i = 0; i < line.size();) {
        std::size_t length = 1;
        unsigned char lead = static_cast<unsigned char>(line[i]);
        if (lead >= 0xF0) {
            length = 4;
        } else if (lead >= 0xE0) {
            length = 3;
        } else if (lead >= 0xC0) {
            length = 2;
        }
        if (characters >= width) {
            break;
        }
        out.append(line, i, length);
        i += length;
        ++characters;
    }
    return out;
}

std::vector<std::string> TopScreen::compose(const TopModel& model, int width, int height,
                                            bool braille) {
    std::vector<std::string> lines;
    if (width <= 0 || height <= 0) {
        return lines;
    }
    const StatusBlock& status = model.status();
    lines.push_back("benchctl top | " + model.connection() + " | lost " +
                    std::to_string(model.dropped()) + " | q quits");
    if (status.complete()) {
        lines.push_back("benchd " + status.version() + ", up " +
                        StatusBlock::duration(status.uptime()) + " | control client " +
                        status.client() + " | observers " + status.observers());
    }
    if (!model.lastError().empty()) {
        lines.push_back("monitor_error: " + model.lastError());
    }
    lines.push_back("");

    lines.push_back(
        "PORT        BOARD              IDENTIFIED     FRAMES  CRC FAILURES   RETRIES  "
        " DROPPED");
    if (!status.complete()) {
        lines.push_back("(no status from benchd yet)");
    } else if (status.ports().empty()) {
        lines.push_back("(no ports)");
    }
    for (const StatusBlock::Port& port : status.ports()) {
        lines.push_back(
            pad(port.name, 12) +
            pad(port.identified() ? StatusBlock::boardName(port.board) : "-", 19) +
            pad(port.identified() ? "yes" : "no", 10) + padLeft(port.counter("frames"), 11) +
            padLeft(port.counter("crc failures"), 14) + padLeft(port.counter("retries"), 10) +
            padLeft(port.counter("dropped"), 10));
    }
    lines.push_back("");
    if (!model.speedLine().empty()) {
        lines.push_back(model.speedLine());
    }

    // Values in cells across the width, one group after the other.
    const int cellWidth = 40;
    const int perLine = std::max(1, width / cellWidth);
    for (const TopModel::Group& group : model.groups()) {
        lines.push_back(group.title);
        std::string line;
        int inLine = 0;
        for (const TopModel::Value& value : group.values) {
            std::string cell = "  " + pad(value.label, 20) + " " + value.text +
                               (value.unit.empty() ? "" : " " + value.unit);
            line += inLine + 1 < perLine ? pad(cell, cellWidth) : cell;
            if (++inLine == perLine) {
                lines.push_back(line);
                line.clear();
                inLine = 0;
            }
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }

    // Charts in the rows left: side by side when the terminal is wide.
    const auto& charts = model.charts();
    if (!charts.empty()) {
        lines.push_back("");
        const int across = std::max(1, std::min<int>(charts.size(), width / 50));
        const int chartRows = (static_cast<int>(charts.size()) + across - 1) / across;
        const int rowsLeft = height - static_cast<int>(lines.size());
        const int plotRows = std::min(8, rowsLeft / chartRows - 1);
        const int columnWidth = width / across;
        if (plotRows < 1) {
            lines.push_back("(charts: " + std::to_string(charts.size()) +
                            ", too little room to draw them)");
        } else {
            auto chart = charts.begin();
            for (int row = 0; row < chartRows; ++row) {
                std::vector<std::string> block(plotRows + 1);
                for (int column = 0; column < across && chart != charts.end(); ++column, ++chart) {
                    const std::vector<double>& values = chart->second;
                    auto [low, high] = std::minmax_element(values.begin(), values.end());
                    std::string title = chart->first + ": " + std::to_string(values.size()) +
                                        " points, " + number(*low) + " to " + number(*high);
                    block[0] += pad(fit(title, columnWidth - 1), columnWidth);
                    std::vector<std::string> plot =
                        BraillePlot::render(values, columnWidth - 2, plotRows, braille);
                    for (int r = 0; r < plotRows; ++r) {
                        block[r + 1] += plot[r] + "  ";
                    }
                }
                lines.insert(lines.end(), block.begin(), block.end());
            }
        }
    }

    if (static_cast<int>(lines.size()) > height) {
        lines.resize(height);
    }
    for (std::string& line : lines) {
        line = fit(line, width);
    }
    return lines;
}
