#include "keytable.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "chartmessage.h"

namespace {

KeyInfo row(const char* key, BoardKind board, const char* label, const char* unit, ValueKind kind) {
    KeyInfo info;
    info.key = key;
    info.board = board;
    info.label = label;
    info.unit = unit;
    info.kind = kind;
    return info;
}

KeyInfo number(const char* key, BoardKind board, const char* label, const char* unit = "") {
    return row(key, board, label, unit, ValueKind::Number);
}

KeyInfo onOff(const char* key, BoardKind board, const char* label, const char* onWord = "on",
              const char* offWord = "off") {
    KeyInfo info = row(key, board, label, "", ValueKind::OnOff);
    info.onWord = onWord;
    info.offWord = offWord;
    return info;
}

KeyInfo list(const char* key, BoardKind board, const char* label,
             std::vector<std::string> elements) {
    KeyInfo info = row(key, board, label, "", ValueKind::List);
    info.elements = std::move(elements);
    return info;
}

std::vector<std::string> channels(int count) {
    std::vector<std::string> names;
    for (int channel = 1; channel <= count; ++channel) {
        names.push_back("ch" + std::to_string(channel));
    }
    return names;
}

std::vector<KeyInfo> makeTable() {
    using B = BoardKind;
    std::vector<KeyInfo> table = {
        // The stand reports its speed in the unit of the speed set-point, which is rpm.
        number("device_rpm", B::Stand, "speed", "rpm"),
        onOff("device_active", B::Stand, "rotation", "running", "stopped"),
        // Hundredths of a degree, cut to whole degrees by the daemon.
        number("device_temperature1", B::Stand, "temperature 1", "degrees"),
        number("device_temperature2", B::Stand, "temperature 2", "degrees"),
        number("device_tank", B::Stand, "tank"),
        onOff("device_fan", B::Stand, "fan"),
        number("device_pressure1", B::Stand, "pressure 1"),
        number("pressure_pressure", B::Tester, "pressure"),
        number("pressure_max", B::Tester, "pressure max"),
        // The board's status byte; no value of it has a documented meaning yet.
        row("injector_status", B::Tester, "injector status", "", ValueKind::State),
    };
    // The six oscillograms, each one message per complete recording.
    static const char* const charts[][2] = {
        {"injector_chart", "chart 1"},  {"injector_chart2", "chart 2"},
        {"injector_chart3", "chart 3"}, {"injector_chart4", "chart 4"},
        {"injector_chart5", "chart 5"}, {"injector_chart6", "chart 6"}};
    for (const auto& chart : charts) {
        table.push_back(row(chart[0], B::Tester, chart[1], "", ValueKind::Chart));
    }
    // The nine regulator messages come regulator by regulator.
    static const char* const regulators[3][6] = {
        {"regulator1_active", "regulator 1", "regulator1_current", "regulator 1 current",
         "regulator1_duty_cycle", "regulator 1 duty"},
        {"regulator2_active", "regulator 2", "regulator2_current", "regulator 2 current",
         "regulator2_duty_cycle", "regulator 2 duty"},
        {"regulator3_active", "regulator 3", "regulator3_current", "regulator 3 current",
         "regulator3_duty_cycle", "regulator 3 duty"},
    };
    for (const auto& regulator : regulators) {
        table.push_back(onOff(regulator[0], B::Tester, regulator[1]));
        table.push_back(number(regulator[2], B::Tester, regulator[3]));
        table.push_back(number(regulator[4], B::Tester, regulator[5]));
    }
    table.push_back(number("leakage_time_passed", B::Tester, "leakage time"));
    table.push_back(list("flowmeter_flow", B::Flowmeter, "flow", channels(10)));
    // Each ratio comes multiplied by 1000; the label says so, since the value is no unit.
    table.push_back(list("flowmeter_calibrate", B::Flowmeter, "calibration x1000", channels(10)));
    table.push_back(list("delay_meter", B::DelayMeter, "delay", {"min", "max", "avg"}));
    return table;
}

bool isNumber(const std::string& text) {
    if (text.empty() || text.size() > 64 || text.find('\0') != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    return *end == '\0' && text.find_first_of(" \t") == std::string::npos;
}

// A whole integer ("7", "-3"), nothing before or after it.
bool integerOf(const std::string& text, long& value) {
    if (text.empty() || text.size() > 20 || text.find('\0') != std::string::npos ||
        !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+')) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && end != text.c_str();
}

std::string summarizeChart(const KeyInfo& info, const std::string& raw) {
    for (int chart = 1; chart <= ChartMessage::CHARTS; ++chart) {
        std::vector<double> values;
        if (ChartMessage::keyFor(chart) == info.key &&
            ChartMessage::parse(std::string(info.key) + ":" + raw, chart, values)) {
            auto [low, high] = std::minmax_element(values.begin(), values.end());
            char text[96];
            std::snprintf(text, sizeof text, "%zu points, %.2f to %.2f", values.size(), *low,
                          *high);
            return printable(text, MAX_CELL_TEXT);
        }
    }
    return printable(raw, MAX_CELL_TEXT);
}

Cell single(const KeyInfo& info, const std::string& raw) {
    Cell cell{info.label, printable(raw, MAX_CELL_TEXT), ""};
    long value = 0;
    switch (info.kind) {
        case ValueKind::Number:
            if (isNumber(raw)) {
                cell.unit = info.unit;
            }
            break;
        case ValueKind::OnOff:
            if (integerOf(raw, value)) {
                // Any value other than 0 is on; one other than 1 is kept beside the word.
                cell.text = value == 0   ? info.offWord
                            : value == 1 ? info.onWord
                                         : std::string(info.onWord) + " (" + cell.text + ")";
            }
            break;
        case ValueKind::State:
            if (integerOf(raw, value)) {
                for (const auto& [state, meaning] : info.states) {
                    if (state == value) {
                        cell.text += " (" + meaning + ")";
                    }
                }
            }
            break;
        case ValueKind::Chart:
            cell.text = summarizeChart(info, raw);
            break;
        case ValueKind::List:
            break;
    }
    return cell;
}

}  // namespace

const char* boardName(BoardKind board) {
    switch (board) {
        case BoardKind::Stand:
            return "stand";
        case BoardKind::Tester:
            return "injector tester";
        case BoardKind::Flowmeter:
            return "flowmeter";
        case BoardKind::DelayMeter:
            return "delay meter";
        case BoardKind::Other:
            break;
    }
    return "other";
}

BoardKind boardOfId(const std::string& id) {
    if (id == "61" || id == "62") {
        return BoardKind::Stand;
    }
    if (id == "33" || id == "34") {
        return BoardKind::Tester;
    }
    if (id == "12") {
        return BoardKind::Flowmeter;
    }
    if (id == "5") {
        return BoardKind::DelayMeter;
    }
    return BoardKind::Other;
}

const std::vector<KeyInfo>& keyTable() {
    static const std::vector<KeyInfo> table = makeTable();
    return table;
}

const KeyInfo* findKey(const std::string& key) {
    for (const KeyInfo& info : keyTable()) {
        if (key == info.key) {
            return &info;
        }
    }
    return nullptr;
}

std::vector<Cell> formatValue(const std::string& key, const std::string& raw) {
    const KeyInfo* info = findKey(key);
    if (!info) {
        return {Cell{printable(key, 40), printable(raw, MAX_CELL_TEXT), ""}};
    }
    if (info->kind != ValueKind::List) {
        return {single(*info, raw)};
    }
    std::vector<Cell> cells;
    std::size_t at = 0;
    for (const std::string& element : info->elements) {
        std::string piece;
        if (at <= raw.size()) {
            std::size_t comma = raw.find(',', at);
            piece = raw.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            at = comma == std::string::npos ? raw.size() + 1 : comma + 1;
        }
        const bool known = isNumber(piece);
        cells.push_back(Cell{element, piece.empty() ? "-" : printable(piece, MAX_ELEMENT_TEXT),
                             known ? info->unit : ""});
    }
    if (at <= raw.size()) {
        cells.push_back(Cell{"more", printable(raw.substr(at), MAX_CELL_TEXT), ""});
    }
    return cells;
}

std::string formatLine(const std::string& key, const std::string& raw, const char* separator) {
    const KeyInfo* info = findKey(key);
    std::string line;
    for (const Cell& cell : formatValue(key, raw)) {
        if (info && info->kind == ValueKind::List) {
            line += (line.empty() ? "" : separator) + cell.label + " ";
        }
        line += cell.text + (cell.unit.empty() ? "" : " " + cell.unit);
    }
    return line;
}

std::string printable(const std::string& text, std::size_t limit) {
    std::string out;
    for (char c : text) {
        if (out.size() >= limit) {
            const std::size_t dots = std::min<std::size_t>(3, limit);
            out.replace(limit - dots, dots, std::string(dots, '.'));
            break;
        }
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return out;
}
