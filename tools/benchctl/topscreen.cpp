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

// Lists of more elements than this are drawn as a table.
constexpr std::size_t SHORT_LIST = 4;

std::string cellText(const Cell& cell, bool labelled) {
    return (labelled ? cell.label + " " : "") + cell.text +
           (cell.unit.empty() ? "" : " " + cell.unit);
}

// Lists as rows under a header of their elements' names, the columns split into blocks that
// fit the width.
void addTable(const std::vector<const TopModel::Value*>& rows, int width,
              std::vector<std::string>& lines) {
    if (rows.empty()) {
        return;
    }
    // A column per element; a list that carries more values than its elements has one more.
    std::vector<std::string> header;
    for (const TopModel::Value* row : rows) {
        for (std::size_t column = header.size(); column < row->cells.size(); ++column) {
            header.push_back(row->cells[column].label);
        }
    }
    std::vector<std::size_t> widths;
    for (std::size_t column = 0; column < header.size(); ++column) {
        std::size_t widest = header[column].size();
        for (const TopModel::Value* row : rows) {
            if (column < row->cells.size()) {
                widest = std::max(widest, cellText(row->cells[column], false).size());
            }
        }
        widths.push_back(widest + 2);
    }
    const std::size_t labelWidth = 22;
    for (std::size_t first = 0; first < header.size();) {
        std::size_t last = first + 1;
        std::size_t used = labelWidth + widths[first];
        while (last < header.size() && used + widths[last] <= static_cast<std::size_t>(width)) {
            used += widths[last++];
        }
        std::string top = std::string(labelWidth, ' ');
        for (std::size_t column = first; column < last; ++column) {
            top += padLeft(header[column], widths[column]);
        }
        lines.push_back(top);
        for (const TopModel::Value* row : rows) {
            std::string line = "  " + pad(row->label, labelWidth - 2);
            for (std::size_t column = first; column < last; ++column) {
                line +=
                    padLeft(column < row->cells.size() ? cellText(row->cells[column], false) : "-",
                            widths[column]);
            }
            lines.push_back(line);
        }
        first = last;
    }
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

    // Values in cells across the width, one group after the other; then the group's lists,
    // a short one on a line of its own, long ones as a table with a column per element.
    const int cellWidth = 40;
    const int perLine = std::max(1, width / cellWidth);
    const char* separator = braille ? " \u00b7 " : " | ";
    for (const TopModel::Group& group : model.groups()) {
        lines.push_back(group.title);
        std::string line;
        int inLine = 0;
        std::vector<const TopModel::Value*> table;
        for (const TopModel::Value& value : group.values) {
            if (value.kind == ValueKind::List) {
                continue;
            }
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
        for (const TopModel::Value& value : group.values) {
            if (value.kind != ValueKind::List) {
                continue;
            }
            if (value.cells.size() <= SHORT_LIST) {
                std::string text;
                for (const Cell& cell : value.cells) {
                    text += (text.empty() ? "" : separator) + cellText(cell, true);
                }
                lines.push_back("  " + pad(value.label, 20) + " " + text);
            } else {
                table.push_back(&value);
            }
        }
        addTable(table, width, lines);
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
