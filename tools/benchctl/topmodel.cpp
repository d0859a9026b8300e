#include "topmodel.h"

#include <cstdlib>

#include "chartmessage.h"

namespace {

enum Board { STAND, TESTER, FLOWMETER, DELAYMETER, OTHER, BOARDS };

struct KeyInfo {
    const char* key;
    Board board;
    const char* label;
    const char* unit;
};

// The keys the daemon sends, as the README's protocol reference gives them: the board that
// reports each, and its unit where the reference names one ("board unit": the board's own).
const KeyInfo KEYS[] = {
    {"device_rpm", STAND, "speed", "set-point unit"},
    {"device_active", STAND, "rotation", "0 off"},
    {"device_temperature1", STAND, "temperature 1", "degrees"},
    {"device_temperature2", STAND, "temperature 2", "degrees"},
    {"device_tank", STAND, "tank", "board unit"},
    {"device_fan", STAND, "fan", "0 off"},
    {"device_pressure1", STAND, "pressure 1", ""},
    {"pressure_pressure", TESTER, "pressure", "board unit"},
    {"pressure_max", TESTER, "pressure max", "board unit"},
    {"injector_status", TESTER, "injector status", ""},
    {"regulator1_active", TESTER, "regulator 1", "0 off"},
    {"regulator1_current", TESTER, "regulator 1 current", "setting unit"},
    {"regulator1_duty_cycle", TESTER, "regulator 1 duty", "setting unit"},
    {"regulator2_active", TESTER, "regulator 2", "0 off"},
    {"regulator2_current", TESTER, "regulator 2 current", "setting unit"},
    {"regulator2_duty_cycle", TESTER, "regulator 2 duty", "setting unit"},
    {"regulator3_active", TESTER, "regulator 3", "0 off"},
    {"regulator3_current", TESTER, "regulator 3 current", "setting unit"},
    {"regulator3_duty_cycle", TESTER, "regulator 3 duty", "setting unit"},
    {"leakage_time_passed", TESTER, "leakage time", "max-time unit"},
    {"flowmeter_flow", FLOWMETER, "flow", "10 channels"},
    {"flowmeter_calibrate", FLOWMETER, "calibration", "ratio x 1000"},
    {"delay_meter", DELAYMETER, "delay", "min,max,avg board unit"},
};

const char* const BOARD_NAMES[BOARDS] = {"stand", "injector tester", "flowmeter", "delay meter",
                                         "other"};

Board boardOfId(const std::string& id) {
    if (id == "61" || id == "62") {
        return STAND;
    }
    if (id == "33" || id == "34") {
        return TESTER;
    }
    if (id == "12") {
        return FLOWMETER;
    }
    if (id == "5") {
        return DELAYMETER;
    }
    return OTHER;
}

const KeyInfo* infoOf(const std::string& key) {
    for (const KeyInfo& info : KEYS) {
        if (key == info.key) {
            return &info;
        }
    }
    return nullptr;
}

// Printable ASCII only, at most `limit` characters: a terminal must not receive control
// sequences from the network.
std::string printable(const std::string& text, std::size_t limit) {
    std::string out;
    for (char c : text) {
        if (out.size() >= limit) {
            out.replace(limit - 3, 3, "...");
            break;
        }
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return out;
}

bool isChartKey(const std::string& key) {
    for (int chart = 1; chart <= ChartMessage::CHARTS; ++chart) {
        if (key == ChartMessage::keyFor(chart)) {
            return true;
        }
    }
    return false;
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
        const KeyInfo* info = infoOf(key);
        if (!info && (otherKeys_ >= MAX_OTHER_KEYS || key.empty())) {
            return;
        }
        otherKeys_ += info == nullptr;
        std::string shownKey = printable(key, 40);
        found = values_
                    .emplace(key, Value{shownKey, info ? info->label : shownKey, "",
                                        info ? info->unit : ""})
                    .first;
    }
    found->second.text = printable(value, MAX_VALUE);
}

const TopModel::Value* TopModel::value(const std::string& key) const {
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

std::vector<TopModel::Group> TopModel::groups() const {
    std::vector<Group> groups(BOARDS);
    for (int board = 0; board < BOARDS; ++board) {
        std::string ids;
        for (const std::string& id : identified_) {
            if (boardOfId(id) == board) {
                ids += (ids.empty() ? "" : ", ") + StatusBlock::boardName(id);
            }
        }
        groups[board].title = std::string(BOARD_NAMES[board]) + ": " +
                              (ids.empty() ? std::string("no board identified") : ids);
        if (board == OTHER) {
            groups[board].title = ids.empty() ? "other keys" : "other boards: " + ids;
        }
    }
    for (const KeyInfo& info : KEYS) {
        auto found = values_.find(info.key);
        if (found != values_.end()) {
            groups[info.board].values.push_back(found->second);
        }
    }
    for (const auto& [key, value] : values_) {
        if (!infoOf(key)) {
            groups[OTHER].values.push_back(value);
        }
    }
    std::vector<Group> shown;
    for (int board = 0; board < BOARDS; ++board) {
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
    std::string line = "stand speed " + rpm_ + " (set-point unit)";
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
                                    : "; set-point " + setpoint);
}
