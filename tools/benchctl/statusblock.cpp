#include "statusblock.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {

std::string trim(const std::string& text) {
    std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(' ') - start + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = text.find(separator, at);
        pieces.push_back(trim(text.substr(at, end == std::string::npos ? end : end - at)));
        if (end == std::string::npos) {
            return pieces;
        }
        at = end + 1;
    }
}

}  // namespace

std::string StatusBlock::Port::counter(const std::string& counter) const {
    for (const auto& [name, figure] : counters) {
        if (name == counter) {
            return figure;
        }
    }
    return {};
}

bool StatusBlock::add(const std::string& message) {
    std::size_t colon = message.find(':');
    if (colon == std::string::npos || message.compare(0, 7, "status_") != 0) {
        return false;
    }
    const std::string key = message.substr(7, colon - 7);
    const std::string value = message.substr(colon + 1);
    if (key == "version" || complete_) {
        clear();
    }
    if (key == "version") {
        version_ = value;
    } else if (key == "uptime") {
        uptime_ = value;
    } else if (key == "client") {
        client_ = value;
    } else if (key == "observers") {
        observers_ = value;
    } else if (key == "stand_setpoint") {
        standSetpoint_ = value;
    } else if (key == "refused") {
        refused_ = value;
    } else if (key == "port") {
        std::vector<std::string> fields = split(value, ',');
        Port port;
        port.name = fields[0];
        port.board = fields.size() > 1 ? fields[1] : "";
        port.lowLatency = fields.size() > 2 ? fields[2] : "";
        for (std::size_t i = 3; i < fields.size(); ++i) {
            // "crc failures 0": the figure is the last word, the name everything before it.
            std::size_t space = fields[i].rfind(' ');
            if (space == std::string::npos) {
                port.counters.emplace_back(fields[i], "");
            } else {
                port.counters.emplace_back(trim(fields[i].substr(0, space)),
                                           fields[i].substr(space + 1));
            }
        }
        ports_.push_back(std::move(port));
    } else if (key == "end") {
        complete_ = true;
    }
    return complete_;
}

std::string StatusBlock::boardName(const std::string& id) {
    static const std::map<std::string, std::string> names = {
        {"61", "STAND"},    {"62", "STAND62"},   {"34", "CRIT"},
        {"33", "CRIT0303"}, {"12", "FLOWMETER"}, {"5", "DELAYMETER"}};
    auto found = names.find(id);
    return found == names.end() ? id : id + " " + found->second;
}

std::string StatusBlock::duration(const std::string& seconds) {
    char* end = nullptr;
    long long total = std::strtoll(seconds.c_str(), &end, 10);
    if (seconds.empty() || *end != '\0' || total < 0) {
        return seconds;
    }
    char text[64];
    if (total < 60) {
        std::snprintf(text, sizeof text, "%lld s", total);
    } else if (total < 3600) {
        std::snprintf(text, sizeof text, "%lld min %02lld s", total / 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld h %02lld min %02lld s", total / 3600,
                      total / 60 % 60, total % 60);
    }
    return text;
}

std::string StatusBlock::format() const {
    std::string out = "benchd " + (version_.empty() ? std::string("(version unknown)") : version_);
    if (!uptime_.empty()) {
        out += ", up " + duration(uptime_);
    }
    out += "\ncontrol client: " + (client_.empty() ? std::string("?") : client_) + "\n";
    out += "observers: " + (observers_.empty() ? std::string("?") : observers_) + "\n";
    if (!standSetpoint_.empty()) {
        out += "stand speed set-point: " + standSetpoint_ + "\n";
    }
    if (!refused_.empty()) {
        std::string counts;
        for (const std::string& count : split(refused_, ',')) {
            counts += (counts.empty() ? "" : ", ") + count;
        }
        out += "refused connections: " + counts + "\n";
    }
    if (ports_.empty()) {
        return out + "ports: none\n";
    }
    // Rows: board, low latency, then the union of the counter names in first-seen order.
    std::vector<std::string> rows = {"board", "low latency"};
    for (const Port& port : ports_) {
        for (const auto& counter : port.counters) {
            if (std::find(rows.begin(), rows.end(), counter.first) == rows.end()) {
                rows.push_back(counter.first);
            }
        }
    }
    std::vector<std::vector<std::string>> table;  // [row][column], column 0 the row name
    table.push_back({"port"});
    for (const std::string& row : rows) {
        table.push_back({row});
    }
    for (const Port& port : ports_) {
        table[0].push_back(port.name);
        table[1].push_back(port.identified() ? boardName(port.board) : port.board);
        table[2].push_back(port.lowLatency);
        for (std::size_t r = 2; r < rows.size(); ++r) {
            table[r + 1].push_back(port.counter(rows[r]));
        }
    }
    std::vector<std::size_t> widths(ports_.size() + 1, 0);
    for (const auto& row : table) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    for (const auto& row : table) {
        std::string line = row[0] + std::string(widths[0] - row[0].size(), ' ');
        for (std::size_t c = 1; c < row.size(); ++c) {
            line += "  " + std::string(widths[c] - row[c].size(), ' ') + row[c];
        }
        out += line + "\n";
    }
    return out;
}
