#include "reporttable.h"

#include <cstdio>

namespace chaoscheck {

namespace {

long be16(const std::vector<uint8_t>& p, std::size_t at) {
    return at + 2 <= p.size() ? (p[at] << 8) | p[at + 1] : 0;
}

std::string byteAt(const std::vector<uint8_t>& p, std::size_t at) {
    return at < p.size() ? std::to_string(p[at]) : "0";
}

// A board's fixed-point figure as the client reads it: two decimals.
std::string fixed2(long raw, double scale) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(raw) / scale);
    return text;
}

std::string hundredths(long raw) {
    return fixed2(raw, 100.0);
}

bool readU16At0(const std::vector<uint8_t>& p, long& value) {
    if (p.size() < 2) {
        return false;
    }
    value = be16(p, 0);
    return true;
}

bool readI32At6(const std::vector<uint8_t>& p, long& value) {
    if (p.size() < 10) {
        return false;
    }
    value = be32(p, 6);
    return true;
}

bool readU8At0(const std::vector<uint8_t>& p, long& value) {
    if (p.empty()) {
        return false;
    }
    value = p[0];
    return true;
}

}  // namespace

long be32(const std::vector<uint8_t>& p, std::size_t at) {
    if (at + 4 > p.size()) {
        return 0;
    }
    uint32_t v = (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) |
                 (uint32_t{p[at + 2]} << 8) | p[at + 3];
    return static_cast<long>(static_cast<int32_t>(v));
}

BoardClass classOf(int id) {
    switch (id) {
        case 61:
        case 62:
            return BoardClass::Stand;
        case 33:
        case 34:
            return BoardClass::Tester;
        case 12:
            return BoardClass::Flowmeter;
        case 5:
            return BoardClass::DelayMeter;
        default:
            return BoardClass::Other;
    }
}

bool isChart(int code) {
    return code >= 21 && code <= 26;
}

std::vector<ExpectedMessage> messagesOf(BoardClass board, int code, const std::vector<uint8_t>& p) {
    switch (board) {
        case BoardClass::Stand:
            switch (code) {
                case 41:
                    return {{"device_rpm", std::to_string(be32(p, 0))}};
                case 42:
                    return {{"device_active", byteAt(p, 0)}};
                case 46:  // hundredths of a degree, cut towards zero
                    return {{"device_temperature1", std::to_string(be32(p, 3) / 100)},
                            {"device_temperature2", std::to_string(be32(p, 7) / 100)}};
                case 47:
                    return {{"device_tank", byteAt(p, 4)}, {"device_fan", byteAt(p, 0)}};
                case 10: {
                    const long raw = be16(p, 2);  // signed: negative readings show as 0
                    return {{"device_pressure1", raw >= 0x8000 ? "0.00" : hundredths(raw)}};
                }
                default:
                    return {};
            }
        case BoardClass::Tester:
            switch (code) {
                case 10:
                    return {{"pressure_pressure", std::to_string(be16(p, 1))},
                            {"pressure_max", std::to_string(be16(p, 3))}};
                case 12:
                    return {{"injector_status", byteAt(p, 0)}};
                case 27:
                    return {{"leakage_time_passed", std::to_string(be32(p, 2))}};
                case 31: {
                    // Three regulators of five bytes: on, current (thousandths), duty (tenths).
                    std::vector<ExpectedMessage> out;
                    for (int n = 0; n < 3; ++n) {
                        const std::size_t base = static_cast<std::size_t>(n) * 5;
                        const std::string r = "regulator" + std::to_string(n + 1);
                        out.push_back({r + "_active", byteAt(p, base)});
                        out.push_back({r + "_current", fixed2(be16(p, base + 1), 1000.0)});
                        out.push_back({r + "_duty_cycle", fixed2(be16(p, base + 3), 10.0)});
                    }
                    return out;
                }
                case 41:
                    return {{"device_rpm", std::to_string(be32(p, 0)), true}};
                default:
                    return {};
            }
        case BoardClass::Flowmeter:
            switch (code) {
                case 55: {
                    // Ten channels of nine bytes: a divisor (0 counts as 1), a 64-bit count.
                    std::string flows;
                    for (std::size_t k = 0; k < 10; ++k) {
                        const std::size_t base = k * 9;
                        uint64_t count = 0;
                        for (std::size_t i = 1; i <= 8 && base + i < p.size(); ++i) {
                            count = (count << 8) | p[base + i];
                        }
                        const uint64_t divisor = base < p.size() && p[base] != 0 ? p[base] : 1;
                        flows += (k ? "," : "") + std::to_string(count / divisor);
                    }
                    return {{"flowmeter_flow", flows}};
                }
                case 53:
                    return {{"flowmeter_calibrate", "*"}};
                default:
                    return {};
            }
        case BoardClass::DelayMeter:
            if (code == 62) {
                const long total = be32(p, 1);
                const long count = be16(p, 5);
                const long minimum = be32(p, 7);
                return {{"delay_meter", std::to_string(minimum < 0 ? 0 : minimum) + "," +
                                            std::to_string(be32(p, 11)) + "," +
                                            std::to_string(count != 0 ? total / count : 0)}};
            }
            return {};
        case BoardClass::Other:
            return {};
    }
    return {};
}

bool ChartAssembler::add(int code, const std::vector<uint8_t>& p, bool whole,
                         ExpectedMessage& out) {
    if (!isChart(code) || p.size() < 3) {
        return false;
    }
    const int index = code - 21;
    Chart& chart = charts_[index];
    if (!whole) {
        // The host never had it: the chart it belonged to cannot complete as sent.
        chart.broken = true;
        return false;
    }
    if (chart.points == 0 || p[0] == 0) {
        const bool broken = chart.broken && p[0] != 0;
        chart = Chart{};
        chart.broken = broken;
    }
    chart.count = be16(p, 1);
    chart.points += static_cast<long>((p.size() - 3) / 2);
    if (chart.points != chart.count || chart.count == 0) {
        return false;
    }
    // One message per chart: its samples, as many as the segments announced.
    out.key = index == 0 ? "injector_chart" : "injector_chart" + std::to_string(index + 1);
    out.value = "#" + std::to_string(chart.count);
    out.optional = chart.broken;
    chart = Chart{};
    return true;
}

bool settingOf(const std::string& key, BoardClass& board, SettingReading& reading) {
    if (key == "device_rpm") {
        board = BoardClass::Stand;
        reading = {41, readU16At0};
        return true;
    }
    if (key == "device_active") {
        board = BoardClass::Stand;
        reading = {42, readU8At0};
        return true;
    }
    if (key == "leakage_max_time") {
        board = BoardClass::Tester;
        reading = {27, readI32At6};
        return true;
    }
    return false;
}

}  // namespace chaoscheck
