#include "topmodel.h"

#include <cstdlib>

#include "chartmessage.h"
#include "keytable.h"

namespace {

// Characters kept of a raw value: more than any list the daemon sends, so that nothing a
// person can read is cut before formatting, and a flood of one key stays bounded.
constexpr std::size_t MAX_RAW = 1024;

bool isChartKey(const std::string& key) {
    const KeyInfo* info = findKey(key);
    return info && info->kind == ValueKind::Chart;
}

}  // namespace

void TopModel::onMessage(const std::string& message) {
    ++messages_;
    std::size_t colon = message.find(':');
    const std::string key = message.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : message.substr(colon + 1);
    if (key.compare(0, 7, "status_") == 0) {
        if (pending_.add(message)) {
            status_ = pending_;
            pending_.clear();
        }
        return;
    }
    if (key == "monitor_dropped") {
        dropped_ += std::strtoul(value.c_str(), nullptr, 10);
        return;
    }
    if (key == "monitor_error") {
        lastError_ = printable(value, MAX_VALUE);
        return;
    }
    if (key == "device_connected") {
        identified_.insert(printable(value, 8));
        return;
    }
    if (key == "device_disconnected") {
        identified_.erase(printable(value, 8));
        return;
    }
    if (isChartKey(key)) {
        for (int chart = 1; chart <= ChartMessage::CHARTS; ++chart) {
            std::vector<double> points;
            if (ChartMessage::parse(message, chart, points)) {
                charts_[key] = std::move(points);
            }
        }
        return;
    }
    if (key == "device_rpm") {
        previousRpm_ = rpm_;
        rpm_ = printable(value, 16);
    }
    auto found = values_.find(key);
    if (found == values_.end()) {
        const bool known = findKey(key) != nullptr;
        if (!known && (otherKeys_ >= MAX_OTHER_KEYS || key.empty())) {
            return;
        }
        otherKeys_ += !known;
        found = values_.emplace(key, std::string()).first;
    }
    found->second = value.substr(0, MAX_RAW);
}

const std::string* TopModel::raw(const std::string& key) const {
    auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
}

void TopModel::connected(const std::string& where) {
    connection_ = (everConnected_ ? "reconnected to " : "connected to ") + where;
    everConnected_ = true;
    identified_.clear();
}

void TopModel::disconnected(const std::string& reason) {
    connection_ = everConnected_ ? "connection lost, reconnecting..." : "connecting...";
    if (!reason.empty()) {
        connection_ += " (" + printable(reason, MAX_VALUE) + ")";
    }
}

TopModel::Value TopModel::valueOf(const std::string& key, const std::string& raw) {
    const KeyInfo* info = findKey(key);
    Value value;
    value.key = printable(key, 40);
    value.cells = formatValue(key, raw);
    value.label = info ? info->label : value.key;
    value.kind = info ? info->kind : ValueKind::Number;
    if (value.kind == ValueKind::List) {
        value.text = formatLine(key, raw);
    } else {
        value.text = value.cells.front().text;
        value.unit = value.cells.front().unit;
    }
    return value;
}

std::vector<TopModel::Group> TopModel::groups() const {
    std::vector<Group> groups(BOARD_KINDS);
    for (int board = 0; board < BOARD_KINDS; ++board) {
        const BoardKind kind = static_cast<BoardKind>(board);
        std::string ids;
        for (const std::string& id : identified_) {
            if (boardOfId(id) == kind) {
                ids += (ids.empty() ? "" : ", ") + StatusBlock::boardName(id);
            }
        }
        groups[board].title = std::string(boardName(kind)) + ": " +
                              (ids.empty() ? std::string("no board identified") : ids);
        if (kind == BoardKind::Other) {
            groups[board].title = ids.empty() ? "other keys" : "other boards: " + ids;
        }
    }
    for (const KeyInfo& info : keyTable()) {
        auto found = values_.find(info.key);
        if (found != values_.end()) {
            groups[static_cast<int>(info.board)].values.push_back(valueOf(info.key, found->second));
        }
    }
    for (const auto& [key, raw] : values_) {
        if (!findKey(key)) {
            groups[static_cast<int>(BoardKind::Other)].values.push_back(valueOf(key, raw));
        }
    }
    std::vector<Group> shown;
    for (int board = 0; board < BOARD_KINDS; ++board) {
        bool hasBoard = groups[board].title.find("no board") == std::string::npos &&
                        groups[board].title != "other keys";
        if (!groups[board].values.empty() || hasBoard) {
            shown.push_back(std::move(groups[board]));
        }
    }
    return shown;
}

std::string TopModel::speedLine() const {
    if (rpm_.empty()) {
        return {};
    }
    std::string line = "stand speed " + formatLine("device_rpm", rpm_);
    char* endNow = nullptr;
    char* endBefore = nullptr;
    double now = std::strtod(rpm_.c_str(), &endNow);
    double before = std::strtod(previousRpm_.c_str(), &endBefore);
    if (!previousRpm_.empty() && *endNow == '\0' && *endBefore == '\0') {
        line += now > before ? ", rising" : now < before ? ", falling" : ", steady";
    }
    // The set-point is the control client's setting, which the status block tells.
    const std::string& setpoint = status_.standSetpoint();
    return line + (setpoint.empty() ? std::string("; set-point not known yet")
                                    : "; set-point " + formatLine("device_rpm", setpoint));
}
