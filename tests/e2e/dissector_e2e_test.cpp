// The Wireshark dissector (tools/wireshark/benchd.lua) read by the real tshark: the daemon's
// capture of a simulated bench with a client that sets everything, decoded to the values the
// client saw and set, and records a session does not make (planted with the capture writer).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/record.h"
#include "protocol/codes.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;
using sim_e2e::SimBench;

namespace {

// One dissected packet: field name to its value, the occurrences of a repeated field joined
// with ",", "" for a field the packet does not have.
using Packet = std::map<std::string, std::string>;

std::string dissectorPath() {
    const std::string self = __FILE__;
    return self.substr(0, self.rfind("tests/e2e/")) + "tools/wireshark/benchd.lua";
}

std::string tsharkPath() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/tshark";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

struct Output {
    int status = -1;
    std::string out, err;
};

// tshark with the dissector over `capture`; its configuration goes to a temporary home. Lua
// scripts run as root too: the global init.lua lets them (run_user_scripts_when_superuser).
Output tshark(const std::string& capture, const std::vector<std::string>& args) {
    TempDir home;
    std::vector<std::string> argv = {tsharkPath(), "-n",   "-X", "lua_script:" + dissectorPath(),
                                     "-r",         capture};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(argv, {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.path(),
                           "WIRESHARK_CONFIG_DIR=" + home.path() + "/wireshark"});
    Output output;
    output.status = process.wait(120000ms);
    output.out = process.out();
    output.err = process.err();
    return output;
}

// The packets of `capture` with `fields` (and the record's own fields) as tshark reads them.
std::vector<Packet> dissect(const std::string& capture, std::vector<std::string> fields) {
    for (const char* own :
         {"frame.protocols", "benchd.direction", "benchd.kind", "benchd.port", "benchd.code",
          "benchd.access", "benchd.crc_ok", "benchd.key", "benchd.value", "_ws.expert.message"}) {
        fields.push_back(own);
    }
    std::vector<std::string> args = {"-T", "fields",       "-E", "header=y",
                                     "-E", "separator=/t", "-E", "occurrence=a",
                                     "-E", "aggregator=,"};
    for (const std::string& field : fields) {
        args.push_back("-e");
        args.push_back(field);
    }
    const Output output = tshark(capture, args);
    EXPECT_EQ(output.status, 0) << output.err;
    std::vector<Packet> packets;
    std::stringstream lines(output.out);
    std::string line;
    std::vector<std::string> header;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::stringstream cellStream(line);
        std::string cell;
        while (std::getline(cellStream, cell, '\t')) {
            cells.push_back(cell);
        }
        if (header.empty()) {
            header = cells;
            continue;
        }
        Packet packet;
        for (std::size_t i = 0; i < header.size(); ++i) {
            packet[header[i]] = i < cells.size() ? cells[i] : "";
        }
        packets.push_back(packet);
    }
    return packets;
}

// Every packet is a benchd record, and the verbose dissection holds no Lua error and nothing
// malformed.
void expectAllDissected(const std::string& capture, const std::vector<Packet>& packets,
                        bool malformedPlanted) {
    ASSERT_FALSE(packets.empty());
    for (const Packet& packet : packets) {
        EXPECT_NE(packet.at("frame.protocols").find("benchd"), std::string::npos)
            << packet.at("frame.protocols");
    }
    const Output verbose = tshark(capture, {"-V"});
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_EQ(verbose.out.find("Lua Error"), std::string::npos);
    EXPECT_EQ(verbose.err.find("Lua"), std::string::npos) << verbose.err;
    if (!malformedPlanted) {
        EXPECT_EQ(verbose.out.find("Malformed"), std::string::npos);
    }
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

std::string fixed2(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

long number(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

std::string nth(const std::string& list, std::size_t n) {
    const std::vector<std::string> parts = split(list, ',');
    return n < parts.size() ? parts[n] : "";
}

bool isFrame(const Packet& p, int direction, unsigned code) {
    return p.at("benchd.kind") == "0" && p.at("benchd.direction") == std::to_string(direction) &&
           p.at("benchd.code") == std::to_string(code);
}

// The values of the client messages with `key`, as the daemon sent them.
std::vector<std::string> messages(const std::vector<Packet>& packets, const std::string& key) {
    std::vector<std::string> values;
    for (const Packet& p : packets) {
        if (p.at("benchd.direction") == "3" && p.at("benchd.key") == key) {
            values.push_back(p.at("benchd.value"));
        }
    }
    return values;
}

// A board's report: the client message `key` carries what `value` makes of the packet.
struct ReportCase {
    unsigned code;
    std::string key;
    std::function<std::string(const Packet&)> value;
};

std::function<std::string(const Packet&)> same(const std::string& field) {
    return [field](const Packet& p) { return p.at(field); };
}

// The flowmeter's ratios worked out from the raw fields as the daemon does, provided the
// dissector's own ratios agree with them (tshark prints reals to 15 digits).
std::string flowCalibration(const Packet& p) {
    const std::vector<std::string> denominators = split(p.at("benchd.flow.cal_denominator"), ',');
    const std::vector<std::string> numerators = split(p.at("benchd.flow.cal_numerator"), ',');
    const std::vector<std::string> ratios = split(p.at("benchd.flow.calibration"), ',');
    std::string text;
    for (std::size_t k = 0; k < ratios.size() && k < numerators.size() && k < denominators.size();
         ++k) {
        const double ratio = static_cast<double>(number(numerators[k])) /
                             static_cast<double>(number(denominators[k])) * 1000.0;
        if (std::fabs(ratio - std::strtod(ratios[k].c_str(), nullptr)) > 1e-9 * std::fabs(ratio)) {
            return "dissected ratio " + ratios[k] + " is not " + std::to_string(ratio);
        }
        text += (text.empty() ? "" : ",") + fixed2(ratio);
    }
    return text;
}

std::vector<ReportCase> reportCases() {
    std::vector<ReportCase> cases = {
        {codes::VERSION, "device_connected", same("benchd.board.type")},
        {codes::PRESSURES, "pressure_pressure", same("benchd.tester.pressure")},
        {codes::PRESSURES, "pressure_max", same("benchd.tester.pressure_max")},
        {codes::PRESSURES, "device_pressure1",
         [](const Packet& p) {
             const std::string& v = p.at("benchd.stand.pressure1");
             return v.empty() ? v : fixed2(std::max(0.0, std::strtod(v.c_str(), nullptr)));
         }},
        {codes::INJECTOR_STATUS, "injector_status", same("benchd.injector.status")},
        {codes::LEAKAGE, "leakage_time_passed", same("benchd.leakage.time_passed")},
        {codes::ROTATION_SPEED, "device_rpm", same("benchd.stand.rpm")},
        {codes::ROTATION_ACTIVE, "device_active", same("benchd.stand.active")},
        {codes::STAND_STATE, "device_tank", same("benchd.stand.tank")},
        {codes::STAND_STATE, "device_fan", same("benchd.stand.fan")},
        {codes::FLOW_CALIBRATION, "flowmeter_calibrate", flowCalibration},
        {codes::FLOW, "flowmeter_flow", same("benchd.flow.flow")},
        {codes::DELAY_FIGURES, "delay_meter",
         [](const Packet& p) {
             const long minimum = std::strtol(p.at("benchd.delay.min").c_str(), nullptr, 10);
             return std::to_string(std::max(0L, minimum)) + "," + p.at("benchd.delay.max") + "," +
                    p.at("benchd.delay.average");
         }},
    };
    for (int t = 1; t <= 2; ++t) {
        const std::string field = "benchd.stand.temperature" + std::to_string(t);
        cases.push_back({codes::TEMPERATURE, "device_temperature" + std::to_string(t),
                         [field](const Packet& p) {
                             const double degrees = std::strtod(p.at(field).c_str(), nullptr);
                             return std::to_string(static_cast<long>(std::trunc(degrees)));
                         }});
    }
    for (std::size_t n = 0; n < 3; ++n) {
        const std::string prefix = "regulator" + std::to_string(n + 1);
        cases.push_back({codes::REGULATOR_STATUS, prefix + "_active",
                         [n](const Packet& p) { return nth(p.at("benchd.regulator.active"), n); }});
        for (const char* quantity : {"current", "duty_cycle"}) {
            const std::string field = std::string("benchd.regulator.") + quantity;
            cases.push_back(
                {codes::REGULATOR_STATUS, prefix + "_" + quantity, [n, field](const Packet& p) {
                     return fixed2(std::strtod(nth(p.at(field), n).c_str(), nullptr));
                 }});
        }
    }
    return cases;
}

// A command the daemon sends: some frame of `code` to a board satisfies `holds`.
struct CommandCase {
    unsigned code;
    std::string what;
    std::function<bool(const Packet&)> holds;
};

std::function<bool(const Packet&)> equal(std::map<std::string, std::string> fields) {
    return [fields](const Packet& p) {
        for (const auto& [field, value] : fields) {
            if (p.at(field) != value) {
                return false;
            }
        }
        return true;
    };
}

std::vector<CommandCase> commandCases() {
    return {
        {codes::VERSION, "version request", equal({{"benchd.access", "2"}})},
        {codes::SCHEDULE, "stand state every second",
         equal({{"benchd.schedule.code", "47"}, {"benchd.schedule.period", "1000"}})},
        {codes::SCHEDULE, "schedule cleared", equal({{"benchd.schedule.op", "0xff"}})},
        {codes::PRESSURE_SENSOR, "sensor_type:3",
         equal({{"benchd.tester.sensor_type", "3"}, {"benchd.tester.pressure_reset", "0"}})},
        {codes::PRESSURE_SENSOR, "pressure_reset:", equal({{"benchd.tester.pressure_reset", "1"}})},
        {codes::INJECTOR_PULSE, "injector_count:4;injector_first:300",
         equal({{"benchd.injector.count", "4"}, {"benchd.injector.first", "300"}})},
        {codes::INJECTOR_STATUS, "injector_active:1", equal({{"benchd.injector.active", "1"}})},
        {codes::INJECTOR_STATUS,
         "injector_status:", equal({{"benchd.access", "2"}, {"benchd.injector.active", ""}})},
        {codes::INJECTOR_CURRENTS, "injector_i1:20;injector_i2:12",
         equal({{"benchd.injector.i1", "20"}, {"benchd.injector.i2", "12"}})},
        {codes::DELAY_SENSITIVITY, "delaymeter_sensitivity:1.5",
         equal({{"benchd.delay.sensitivity", "1.5"}})},
        {codes::VOLTAGE, "injector_voltage:70", equal({{"benchd.injector.voltage", "70"}})},
        {codes::OSC_START, "osc:1", equal({{"benchd.osc.start", "1"}})},
        {codes::LEAKAGE, "leakage_start_pressure:500",
         equal({{"benchd.leakage.start_pressure", "500"}, {"benchd.leakage.max_time", "15000"}})},
        {codes::REGULATOR_SET_POINT, "regulator1_current:1.5",
         equal({{"benchd.regulator.channel", "0"},
                {"benchd.regulator.mode", "0"},
                {"benchd.regulator.current", "1.5"}})},
        {codes::REGULATOR_SET_POINT, "regulator2_duty_cycle:12.5",
         equal({{"benchd.regulator.channel", "1"},
                {"benchd.regulator.mode", "1"},
                {"benchd.regulator.duty_cycle", "12.5"}})},
        {codes::REGULATOR_SET_POINT, "regulator1_pressure:900",
         equal({{"benchd.regulator.mode", "2"}, {"benchd.regulator.pressure", "900"}})},
        {codes::REGULATOR_STATUS, "regulator1_active:1",
         equal({{"benchd.regulator.channel", "0"}, {"benchd.regulator.active", "1"}})},
        {codes::ROTATION_SPEED, "device_rpm:1500;device_rotate:1",
         equal({{"benchd.stand.rpm_setpoint", "1500"}, {"benchd.stand.direction", "1"}})},
        {codes::ROTATION_ACTIVE, "device_active:1", equal({{"benchd.stand.active", "1"}})},
        {codes::TEMPERATURE, "device_temperature:40",
         equal({{"benchd.stand.temperature_setpoint", "40"}})},
        {codes::STAND_SWITCH, "device_fan:1",
         equal({{"benchd.stand.switch", "0"}, {"benchd.stand.fan", "1"}})},
        {codes::STAND_SWITCH, "device_pump:1",
         equal({{"benchd.stand.switch", "1"}, {"benchd.stand.pump", "1"}})},
        {codes::FLOW_RESET, "flowmeter_reset:", equal({{"benchd.port", "ttyUSB2"}})},
        {codes::DELAY_RESET, "delaymeter_reset: (first)", equal({{"benchd.delay.reset_kind", ""}})},
        {codes::DELAY_RESET, "delaymeter_reset: (second)",
         equal({{"benchd.delay.reset_kind", "0x3f"}})},
    };
}

// The fields the session's checks read, besides the record's own.
const std::vector<std::string> PAYLOAD_FIELDS = split(
    "benchd.board.type benchd.tester.pressure benchd.tester.pressure_max "
    "benchd.stand.pressure1 benchd.injector.status benchd.leakage.time_passed "
    "benchd.stand.rpm benchd.stand.active benchd.stand.tank benchd.stand.fan "
    "benchd.stand.pump benchd.flow.calibration benchd.flow.cal_numerator "
    "benchd.flow.cal_denominator benchd.flow.flow benchd.delay.min benchd.delay.max "
    "benchd.delay.average benchd.stand.temperature1 benchd.stand.temperature2 "
    "benchd.regulator.active benchd.regulator.current benchd.regulator.duty_cycle "
    "benchd.regulator.channel benchd.regulator.mode benchd.regulator.pressure "
    "benchd.schedule.op benchd.schedule.code benchd.schedule.period "
    "benchd.tester.sensor_type benchd.tester.pressure_reset benchd.injector.count "
    "benchd.injector.first benchd.injector.active benchd.injector.i1 benchd.injector.i2 "
    "benchd.delay.sensitivity benchd.injector.voltage benchd.osc.start "
    "benchd.leakage.start_pressure benchd.leakage.max_time benchd.stand.rpm_setpoint "
    "benchd.stand.direction benchd.stand.temperature_setpoint benchd.stand.switch "
    "benchd.delay.reset_kind benchd.osc.hy benchd.osc.l benchd.osc.hx benchd.osc.offset "
    "benchd.chart.number benchd.chart.switch benchd.chart.count benchd.chart.sample "
    "benchd.code_name benchd.flags.crc_bad _ws.col.Info ",
    ' ');

// A chart sample as the client gets it, with the tester's calibration (32-bit arithmetic).
double chartValue(long hy, long l, long hx, long offset, long raw) {
    const auto a =
        static_cast<int32_t>(static_cast<uint32_t>(hy) * static_cast<uint32_t>(raw) * 2u) / hx;
    const auto b =
        static_cast<int32_t>(static_cast<uint32_t>(hy) * static_cast<uint32_t>(offset)) / hx;
    return (a - l) * 0.004 / 3.0 - (b - l) * 0.004 / 3.0;
}

TEST(DissectorE2E, SessionCaptureDecodesEveryReportAndCommandAsTheClientSawAndSetThem) {
    if (tsharkPath().empty()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    // A regulator driver, never identified and asked again and again, corrupts half of its
    // replies and puts noise before each.
    TempDir dir;
    const std::string capture = dir.path() + "/session.pcap";
    SimBench bench({"stand62=ttyUSB0", "crit=ttyUSB1", "flowmeter=ttyUSB2", "delaymeter=ttyUSB3",
                    "crsd=ttyUSB4,corrupt=50,garbage"},
                   {"--capture", capture});
    TcpClient client(bench.port());
    ASSERT_TRUE(client.connected());
    for (int device : {62, 34, 12, 5}) {
        ASSERT_TRUE(client.waitFor("device_connected:" + std::to_string(device) + ";", 10000ms));
    }
    client.send(
        "device_rpm:1500;device_rotate:1;device_active:1;device_fan:1;device_pump:1;"
        "device_temperature:40;injector_active:1;injector_count:4;injector_first:300;"
        "injector_voltage:70;injector_i1:20;injector_i2:12;osc:1;sensor_type:3;pressure_reset:;"
        "injector_status:;regulator1_active:1;regulator1_current:1.5;regulator2_duty_cycle:12.5;"
        "regulator1_pressure:900;leakage_start_pressure:500;flowmeter_reset:;delaymeter_reset:;"
        "delaymeter_sensitivity:1.5;");
    // Every report decoded at least once after the settings.
    for (const char* key : {"injector_chart:", "injector_status:", "device_temperature1:",
                            "flowmeter_calibrate:", "delay_meter:", "leakage_time_passed:"}) {
        EXPECT_TRUE(client.waitFor(key, 10000ms)) << key;
    }
    // A corrupted reply, read by the daemon before its next request.
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::size_t corrupted = bench.lineOf("CORRUPTED");
            const std::vector<sim_e2e::SimFrame> asked = bench.frames("ttyUSB4", true);
            return corrupted != std::string::npos && !asked.empty() &&
                   asked.back().line > corrupted;
        },
        10000ms));
    ASSERT_EQ(bench.daemon().stop(SIGTERM), 0);

    std::vector<Packet> packets = dissect(capture, PAYLOAD_FIELDS);
    expectAllDissected(capture, packets, false);

    for (const ReportCase& report : reportCases()) {
        SCOPED_TRACE(report.key);
        std::set<std::string> decoded;
        for (const Packet& p : packets) {
            if (isFrame(p, 0, report.code)) {
                decoded.insert(report.value(p));
            }
        }
        const std::vector<std::string> sent = messages(packets, report.key);
        EXPECT_FALSE(sent.empty());
        for (const std::string& value : sent) {
            EXPECT_EQ(decoded.count(value), 1u) << value;
        }
    }

    // Charts: the first sample of each, scaled with the tester's calibration in force (the
    // daemon's default one until the tester's report arrives).
    long hy = 1, l = 0, hx = 1, offset = 0;
    std::set<std::string> firstValues;
    for (const Packet& p : packets) {
        if (isFrame(p, 0, codes::OSC_CALIBRATION)) {
            hy = number(p.at("benchd.osc.hy"));
            l = number(p.at("benchd.osc.l"));
            hx = number(p.at("benchd.osc.hx"));
            offset = number(p.at("benchd.osc.offset"));
            ASSERT_NE(hx, 0);
        }
        if (p.at("benchd.chart.switch") == "0") {
            firstValues.insert(
                fixed2(chartValue(hy, l, hx, offset, number(nth(p.at("benchd.chart.sample"), 0)))));
            EXPECT_EQ(p.at("benchd.code_name"), "CHART_" + p.at("benchd.chart.number"));
        }
    }
    const std::vector<std::string> charts = messages(packets, "injector_chart");
    ASSERT_FALSE(charts.empty());
    for (const std::string& chart : charts) {
        EXPECT_EQ(firstValues.count(nth(chart, 0)), 1u) << nth(chart, 0);
    }

    for (const CommandCase& command : commandCases()) {
        SCOPED_TRACE(command.what);
        bool seen = false;
        for (const Packet& p : packets) {
            seen = seen || (isFrame(p, 1, command.code) && command.holds(p));
        }
        EXPECT_TRUE(seen);
    }
    // The CRC the dissector checks is the one the daemon's parser checked.
    std::size_t badCrc = 0, noise = 0;
    for (const Packet& p : packets) {
        if (p.at("benchd.kind") == "0" || p.at("benchd.kind") == "1") {
            const bool bad = p.at("benchd.flags.crc_bad") == "1";
            EXPECT_EQ(p.at("benchd.crc_ok"), bad ? "0" : "1") << p.at("_ws.col.Info");
            badCrc += bad ? 1 : 0;
        }
        noise += p.at("benchd.kind") == "2" ? 1 : 0;
    }
    EXPECT_GT(badCrc, 0u);
    EXPECT_GT(noise, 0u);
}

capture::Record planted(capture::Direction direction, capture::Kind kind, const Bytes& payload,
                        const std::string& port = "ttyUSB0") {
    capture::Record record;
    record.direction = direction;
    record.kind = kind;
    record.port = port;
    record.payload.assign(payload.begin(), payload.end());
    return record;
}

TEST(DissectorE2E, PlantedRecordsShowFaultsEventsAndCommandsNoSessionSends) {
    if (tsharkPath().empty()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    using capture::Direction;
    using capture::Kind;
    Bytes badCrc = dataFrame(12, codes::STAND_STATE, 1, {0, 1, 1, 0, 80});
    badCrc.back() ^= 0x01;
    Bytes single = dataFrame(13, codes::ROTATION_ACTIVE, 1, {1});
    single.erase(single.begin());  // the line carried one start byte
    const Bytes truncated(badCrc.begin(), badCrc.begin() + 8);
    struct Case {
        capture::Record record;
        std::string field;
        std::string expected;  // contained in the field's value
    };
    std::vector<Case> cases = {
        {planted(Direction::Daemon, Kind::PortOpened, {}), "_ws.col.Info", "ttyUSB0 port opened"},
        {planted(Direction::ToBoard, Kind::DataFrame, dataFrame(7, codes::FLOW_WINDOW, 1, {3})),
         "benchd.flow.window", "3"},
        {planted(Direction::FromBoard, Kind::DataFrame, dataFrame(8, codes::DEBUG_DUMP, 1, {1, 2})),
         "benchd.debug", "0102"},
        {planted(Direction::FromBoard, Kind::AckFrame, ackFrame(7)), "_ws.col.Info",
         "ttyUSB0 board->daemon ACK #7"},
        {planted(Direction::FromBoard, Kind::DataFrame, badCrc), "_ws.col.Info",
         "ttyUSB0 board->daemon data #12 0x2f STAND_STATE [BAD CRC]"},
        {planted(Direction::FromBoard, Kind::DataFrame, single), "benchd.single_start", "1"},
        {planted(Direction::FromBoard, Kind::Noise, {0x13, 0xA5, 0x99}), "benchd.noise_length",
         "3"},
        {capture::gapRecord(0, 17), "benchd.gap", "17"},
        {planted(Direction::FromClient, Kind::Text, {'o', 's', 'c', ':', '1'}), "benchd.value",
         "1"},
        {planted(Direction::FromBoard, Kind::DataFrame, dataFrame(9, codes::FLOW, 1, {1, 2})),
         "_ws.expert.message", "Payload of 2 bytes; FLOW needs 90"},
        {planted(Direction::FromBoard, Kind::DataFrame, dataFrame(10, 99, 1, {1})),
         "_ws.expert.message", "Unknown report code 99"},
        {planted(Direction::FromBoard, Kind::DataFrame, truncated), "_ws.expert.message",
         "Frame ends before its payload"},
        {planted(Direction::Daemon, Kind::PortClosed, {}), "_ws.col.Info", "ttyUSB0 port closed"},
    };
    cases[4].record.flags = capture::FLAG_CRC_BAD;
    TempDir dir;
    const std::string path = dir.path() + "/planted.pcap";
    capture::PcapWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, error)) << error;
    for (const Case& c : cases) {
        ASSERT_TRUE(writer.write(c.record, error)) << error;
    }
    writer.close();

    std::vector<Packet> packets =
        dissect(path, {"_ws.col.Info", "benchd.flow.window", "benchd.debug", "benchd.single_start",
                       "benchd.noise_length", "benchd.gap", "benchd.flags.crc_bad"});
    ASSERT_EQ(packets.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_NE(packets[i].at(cases[i].field).find(cases[i].expected), std::string::npos)
            << "record " << i << ": " << packets[i].at(cases[i].field);
    }
    EXPECT_EQ(packets[4].at("benchd.crc_ok"), "0");
    EXPECT_EQ(packets[4].at("benchd.flags.crc_bad"), "1");
    expectAllDissected(path, packets, true);
}

}  // namespace
