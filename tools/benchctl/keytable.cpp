#include "keytable.h"

namespace {

using B = BoardKind;
using V = ValueKind;

}  // namespace

const char* boardName(BoardKind board) {
    static const char* const NAMES[BOARD_KINDS] = {"stand", "injector tester", "flowmeter",
                                                   "delay meter", "other"};
    return NAMES[static_cast<int>(board)];
}

BoardKind boardOfId(const std::string& id) {
    if (id == "61" || id == "62") {
        return B::Stand;
    }
    if (id == "33" || id == "34") {
        return B::Tester;
    }
    if (id == "12") {
        return B::Flowmeter;
    }
    return id == "5" ? B::DelayMeter : B::Other;
}

const std::vector<KeyInfo>& keyTable() {
    static const std::vector<KeyInfo> table = {
        {"device_rpm", B::Stand, "speed", "rpm", V::Number, {}},
        {"device_active", B::Stand, "rotation", "", V::OnOff, {}},
        {"device_temperature1", B::Stand, "temperature 1", "degrees", V::Number, {}},
        {"device_temperature2", B::Stand, "temperature 2", "degrees", V::Number, {}},
        {"device_tank", B::Stand, "tank", "", V::Number, {}},
        {"device_fan", B::Stand, "fan", "", V::OnOff, {}},
        {"device_pressure1", B::Stand, "pressure 1", "", V::Number, {}},
        {"pressure_pressure", B::Tester, "pressure", "", V::Number, {}},
        {"pressure_max", B::Tester, "pressure max", "", V::Number, {}},
        {"injector_status", B::Tester, "injector status", "", V::State, {}},
        {"injector_chart", B::Tester, "chart 1", "", V::Chart, {}},
        {"injector_chart2", B::Tester, "chart 2", "", V::Chart, {}},
        {"injector_chart3", B::Tester, "chart 3", "", V::Chart, {}},
        {"injector_chart4", B::Tester, "chart 4", "", V::Chart, {}},
        {"injector_chart5", B::Tester, "chart 5", "", V::Chart, {}},
        {"injector_chart6", B::Tester, "chart 6", "", V::Chart, {}},
        {"regulator1_active", B::Tester, "regulator 1", "", V::OnOff, {}},
        {"regulator1_current", B::Tester, "regulator 1 current", "", V::Number, {}},
        {"regulator1_duty_cycle", B::Tester, "regulator 1 duty", "", V::Number, {}},
        {"regulator2_active", B::Tester, "regulator 2", "", V::OnOff, {}},
        {"regulator2_current", B::Tester, "regulator 2 current", "", V::Number, {}},
        {"regulator2_duty_cycle", B::Tester, "regulator 2 duty", "", V::Number, {}},
        {"regulator3_active", B::Tester, "regulator 3", "", V::OnOff, {}},
        {"regulator3_current", B::Tester, "regulator 3 current", "", V::Number, {}},
        {"regulator3_duty_cycle", B::Tester, "regulator 3 duty", "", V::Number, {}},
        {"leakage_time_passed", B::Tester, "leakage time", "", V::Number, {}},
        {"flowmeter_flow",
         B::Flowmeter,
         "flow",
         "",
         V::List,
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
        {"flowmeter_calibrate", B::Flowmeter, "calibration", "", V::Number, {}},
        {"delay_meter", B::DelayMeter, "delay", "", V::List, {"min", "max", "avg"}},
    };
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

std::vector<Cell> formatValue(const std::string& key, const std::string& raw) {
    const KeyInfo* info = findKey(key);
    if (!info) {
        return {{printable(key, 40), printable(raw, 60), ""}};
    }
    if (info->kind == V::OnOff) {
        return {{info->label, raw == "0" ? "off" : "on", ""}};
    }
    if (info->kind != V::List) {
        return {{info->label, printable(raw, 60), info->unit}};
    }
    std::vector<Cell> cells;
    std::size_t at = 0;
    for (const std::string& element : info->elements) {
        std::size_t end = raw.find(',', at);
        cells.push_back(
            {element,
             at == std::string::npos
                 ? "-"
                 : printable(raw.substr(at, end == std::string::npos ? end : end - at), 24),
             info->unit});
        at = end == std::string::npos ? end : end + 1;
    }
    return cells;
}

std::string formatLine(const std::string& key, const std::string& raw) {
    std::string line;
    for (const Cell& cell : formatValue(key, raw)) {
        line += (line.empty() ? "" : " ") + cell.text + (cell.unit.empty() ? "" : " " + cell.unit);
    }
    return line;
}
