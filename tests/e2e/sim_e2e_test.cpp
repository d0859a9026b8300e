// The real daemon against benchsim's simulated boards: identification and schedules, every
// client key on the wire, every report as client messages, charts through benchctl, clients
// coming and going, unplugged and silent boards, and the motor guard; and benchsim alone with
// its frame log and faults asked for while it runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench/crit.h"
#include "bench/flowmeter.h"
#include "bench/stand.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;
using sim_e2e::be16;
using sim_e2e::be32;
using sim_e2e::be64;
using sim_e2e::SimBench;
using sim_e2e::SimFrame;

namespace {

using Commands = std::vector<std::unique_ptr<Command>>;

// The settings of the test process are the reference for the daemon's: back to the defaults
// whatever happens, so that other tests of this binary do not see them.
struct DefaultSettings {
    DefaultSettings() { restore(); }
    ~DefaultSettings() { restore(); }
    static void restore() {
        CRIT::restoreDefaults();
        Stand::restoreDefaults();
    }
};

// The host's encoding of a command built by the daemon's own builders.
Bytes frameOf(unsigned char number, const Command& command) {
    return dataFrame(number, command.code(), command.access(),
                     Bytes(command.data, command.data + command.length()));
}

// The frames from index `from` on, a retry (the same frame again) counted once.
std::vector<SimFrame> withoutRetries(const std::vector<SimFrame>& frames, std::size_t from) {
    std::vector<SimFrame> kept;
    for (std::size_t i = from; i < frames.size(); ++i) {
        if (kept.empty() || kept.back().bytes != frames[i].bytes) {
            kept.push_back(frames[i]);
        }
    }
    return kept;
}

bool sends(const SimBench& bench, const std::string& board, unsigned char code) {
    for (const SimFrame& frame : bench.frames(board, false)) {
        if (frame.code() == code) {
            return true;
        }
    }
    return false;
}

std::vector<SimFrame> withCode(const std::vector<SimFrame>& frames, unsigned char code) {
    std::vector<SimFrame> selected;
    for (const SimFrame& frame : frames) {
        if (frame.code() == code) {
            selected.push_back(frame);
        }
    }
    return selected;
}

// ---- What a report must become for the client, worked out from the frame on the line. ----

std::string real(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

using known_devices::isStand;
using known_devices::isTester;

std::vector<std::string> messagesOf(unsigned char device, const SimFrame& frame) {
    const Bytes p = frame.payload();
    std::vector<std::string> out;
    auto add = [&out](const std::string& key, const std::string& value) {
        out.push_back(key + ":" + value + ";");
    };
    switch (frame.code()) {
        case codes::PRESSURES:
            if (isTester(device)) {
                add("pressure_pressure", std::to_string(be16(p, 1)));
                add("pressure_max", std::to_string(be16(p, 3)));
            } else if (isStand(device)) {
                int pressure = static_cast<int16_t>(be16(p, 2));
                add("device_pressure1", real(std::max(0, pressure) / 100.0));
            }
            break;
        case codes::INJECTOR_STATUS:
            add("injector_status", std::to_string(p.at(0)));
            break;
        case codes::LEAKAGE:
            add("leakage_time_passed", std::to_string(be32(p, 2)));
            break;
        case codes::REGULATOR_STATUS:
            for (int n = 0; n < 3; ++n) {
                std::string regulator = "regulator" + std::to_string(n + 1);
                std::size_t base = static_cast<std::size_t>(n) * 5;
                add(regulator + "_active", std::to_string(p.at(base)));
                add(regulator + "_current", real(be16(p, base + 1) / 1000.0));
                add(regulator + "_duty_cycle", real(be16(p, base + 3) / 10.0));
            }
            break;
        case codes::ROTATION_SPEED:
            if (isStand(device)) {
                add("device_rpm", std::to_string(be32(p, 0)));
            }
            break;
        case codes::ROTATION_ACTIVE:
            if (isStand(device)) {
                add("device_active", std::to_string(p.at(0)));
            }
            break;
        case codes::TEMPERATURE:
            add("device_temperature1", std::to_string(be32(p, 3) / 100));
            add("device_temperature2", std::to_string(be32(p, 7) / 100));
            break;
        case codes::STAND_STATE:
            add("device_tank", std::to_string(p.at(4)));
            add("device_fan", std::to_string(p.at(0)));
            break;
        case codes::FLOW_CALIBRATION: {
            std::string ratios;
            for (std::size_t k = 0; k < 10; ++k) {
                double ratio = static_cast<double>(be32(p, 8 * k + 4)) / be32(p, 8 * k) * 1000.0;
                ratios += (k ? "," : "") + real(ratio);
            }
            add("flowmeter_calibrate", ratios);
            break;
        }
        case codes::FLOW: {
            std::string flows;
            for (std::size_t k = 0; k < 10; ++k) {
                uint64_t divisor = p.at(9 * k) ? p.at(9 * k) : 1;
                flows += (k ? "," : "") + std::to_string(be64(p, 9 * k + 1) / divisor);
            }
            add("flowmeter_flow", flows);
            break;
        }
        case codes::DELAY_FIGURES: {
            int32_t count = static_cast<int32_t>(be16(p, 5));
            int32_t average = count ? be32(p, 1) / count : 0;
            add("delay_meter", std::to_string(std::max(0, be32(p, 7))) + "," +
                                   std::to_string(be32(p, 11)) + "," + std::to_string(average));
            break;
        }
        default:
            break;
    }
    return out;
}

struct Calibration {
    int32_t hy = 1, l = 0, hx = 1, offset = 0;
};

Calibration calibrationOf(const SimFrame& frame) {
    const Bytes p = frame.payload();
    Calibration c;
    c.hy = static_cast<int32_t>(be16(p, 0));
    c.l = static_cast<int32_t>(be16(p, 2));
    c.hx = static_cast<int32_t>(be16(p, 4));
    c.offset = static_cast<int32_t>(be16(p, 20));
    return c;
}

double sampleValue(unsigned raw, const Calibration& c) {
    int32_t a = static_cast<int32_t>(static_cast<uint32_t>(c.hy) * raw * 2u) / c.hx;
    int32_t b =
        static_cast<int32_t>(static_cast<uint32_t>(c.hy) * static_cast<uint32_t>(c.offset)) / c.hx;
    return static_cast<double>(a - c.l) * 0.004 / 3.0 - static_cast<double>(b - c.l) * 0.004 / 3.0;
}

// The samples of the last chart that the segments in `frames` completed.
std::vector<unsigned> lastChart(const std::vector<SimFrame>& frames) {
    std::vector<unsigned> collecting, complete;
    for (const SimFrame& frame : frames) {
        const Bytes p = frame.payload();
        std::size_t expected = be16(p, 1);
        if (p[0] == 0) {
            collecting.clear();
        }
        for (std::size_t i = 3; i + 1 < p.size(); i += 2) {
            collecting.push_back(be16(p, i));
            if (collecting.size() == expected) {
                complete = collecting;
                collecting.clear();
                break;
            }
        }
    }
    return complete;
}

std::string chartKey(unsigned char code) {
    return code == codes::CHART_FIRST
               ? "injector_chart"
               : "injector_chart" + std::to_string(code - codes::CHART_FIRST + 1);
}

// ---- Well-formed client messages. ----

bool isInteger(const std::string& text) {
    std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > digits &&
           text.find_first_not_of("0123456789", digits) == std::string::npos;
}

bool isReal(const std::string& text) {
    std::size_t point = text.find('.');
    return point != std::string::npos && point + 3 == text.size() &&
           isInteger(text.substr(0, point)) &&
           text.find_first_not_of("0123456789", point + 1) == std::string::npos;
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t at = 0;
    while (true) {
        std::size_t next = text.find(separator, at);
        pieces.push_back(text.substr(at, next == std::string::npos ? next : next - at));
        if (next == std::string::npos) {
            return pieces;
        }
        at = next + 1;
    }
}

enum class Form { INTEGER, REAL, CHART, TEN_INTEGERS, TEN_REALS, THREE_INTEGERS };

const std::map<std::string, Form>& telemetryKeys() {
    static const std::map<std::string, Form> keys = [] {
        std::map<std::string, Form> k = {
            {"device_connected", Form::INTEGER},
            {"device_disconnected", Form::INTEGER},
            {"device_rpm", Form::INTEGER},
            {"device_active", Form::INTEGER},
            {"device_temperature1", Form::INTEGER},
            {"device_temperature2", Form::INTEGER},
            {"device_tank", Form::INTEGER},
            {"device_fan", Form::INTEGER},
            {"device_pressure1", Form::REAL},
            {"pressure_pressure", Form::INTEGER},
            {"pressure_max", Form::INTEGER},
            {"injector_status", Form::INTEGER},
            {"leakage_time_passed", Form::INTEGER},
            {"flowmeter_flow", Form::TEN_INTEGERS},
            {"flowmeter_calibrate", Form::TEN_REALS},
            {"delay_meter", Form::THREE_INTEGERS},
        };
        for (int n = 1; n <= 3; ++n) {
            std::string regulator = "regulator" + std::to_string(n);
            k[regulator + "_active"] = Form::INTEGER;
            k[regulator + "_current"] = Form::REAL;
            k[regulator + "_duty_cycle"] = Form::REAL;
        }
        for (unsigned char code = codes::CHART_FIRST; code <= codes::CHART_LAST; ++code) {
            k[chartKey(code)] = Form::CHART;
        }
        return k;
    }();
    return keys;
}

// Empty when the message is a known key with a value of its form, else what is wrong.
std::string malformed(const std::string& message) {
    std::size_t colon = message.find(':');
    auto key = telemetryKeys().find(message.substr(0, colon));
    if (colon == std::string::npos || key == telemetryKeys().end()) {
        return "unknown key";
    }
    std::vector<std::string> values = splitOn(message.substr(colon + 1), ',');
    std::size_t count = values.size();
    bool reals =
        key->second == Form::REAL || key->second == Form::CHART || key->second == Form::TEN_REALS;
    for (const std::string& value : values) {
        if (!(reals ? isReal(value) : isInteger(value))) {
            return "bad value '" + value + "'";
        }
    }
    switch (key->second) {
        case Form::INTEGER:
        case Form::REAL:
            return count == 1 ? "" : "one value expected";
        case Form::TEN_INTEGERS:
        case Form::TEN_REALS:
            return count == 10 ? "" : "ten values expected";
        case Form::THREE_INTEGERS:
            return count == 3 ? "" : "three values expected";
        case Form::CHART:
            return "";
    }
    return "";
}

// The whole messages of a client's stream (a piece after the last ";" is still coming).
std::vector<std::string> messagesIn(const std::string& stream) {
    std::vector<std::string> messages = splitOn(stream, ';');
    messages.pop_back();
    return messages;
}

// ---- Files and programs. ----

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Tags opened and closed in order, one root element: enough to tell a truncated or garbled
// file from a whole one without an XML library.
bool tagsBalanced(const std::string& xml, std::string& why) {
    std::vector<std::string> open;
    int roots = 0;
    std::size_t at = 0;
    while ((at = xml.find('<', at)) != std::string::npos) {
        std::size_t end = xml.find('>', at);
        if (end == std::string::npos) {
            why = "unterminated tag at " + std::to_string(at);
            return false;
        }
        std::string tag = xml.substr(at + 1, end - at - 1);
        at = end + 1;
        if (occurrences(tag, "\"") % 2 != 0 || tag.find('<') != std::string::npos) {
            why = "broken tag <" + tag + ">";
            return false;
        }
        if (tag.empty() || tag[0] == '?' || tag[0] == '!') {
            continue;
        }
        std::string name = tag.substr(tag[0] == '/' ? 1 : 0);
        name = name.substr(0, name.find_first_of(" \t\n/"));
        if (tag[0] == '/') {
            if (open.empty() || open.back() != name) {
                why = "</" + name + "> closes nothing open";
                return false;
            }
            open.pop_back();
            continue;
        }
        if (open.empty()) {
            ++roots;
        }
        if (tag.back() != '/') {
            open.push_back(name);
        }
    }
    if (!open.empty() || roots != 1) {
        why = open.empty() ? "not one root element" : "<" + open.back() + "> never closed";
        return false;
    }
    return true;
}

// The coordinate pairs of the first polyline's points attribute.
std::size_t polylinePoints(const std::string& svg) {
    std::size_t at = svg.find("<polyline");
    at = at == std::string::npos ? at : svg.find(" points=\"", at);
    if (at == std::string::npos) {
        return 0;
    }
    at += 9;
    std::string points = svg.substr(at, svg.find('"', at) - at);
    std::istringstream pairs(points);
    std::size_t count = 0;
    std::string pair;
    while (pairs >> pair) {
        count += pair.find(',') != std::string::npos ? 1 : 0;
    }
    return count;
}

std::string onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    for (const std::string& dir : splitOn(path ? path : "", ':')) {
        std::string candidate = dir + "/" + program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// ---- Who receives what. ----

enum class Group { INJECTORS, STANDS, STAND62_ONLY, FLOWMETERS, DELAYMETERS };

bool receives(Group group, unsigned char device) {
    switch (group) {
        case Group::INJECTORS:
            return isTester(device);
        case Group::STANDS:
            return isStand(device);
        case Group::STAND62_ONLY:
            return device == 62;
        case Group::FLOWMETERS:
            return device == 12;
        case Group::DELAYMETERS:
            return device == 5;
    }
    return false;
}

using Builder = std::function<std::unique_ptr<Command>()>;

struct KeyCase {
    std::string message;
    Group group;
    std::function<void()> set;   // the setting, made in this process as the daemon makes it
    std::vector<Builder> build;  // the commands it sends, in order
};

// The regulator keys choose their channel first.
std::function<void()> onChannel(uint8_t channel, std::function<void()> set) {
    return [channel, set] {
        CRIT::CRSDChannel = channel;
        set();
    };
}

// The client's rotation setting (the builder has a twin for the motor guard's).
std::unique_ptr<Command> rotationSetting() {
    return Stand::setRotateActive();
}

Builder temperature(int32_t hundredths) {
    return [hundredths] { return Stand::setTemperature(hundredths); };
}

// Every key a client can send, in one batch.
std::vector<KeyCase> everyKey() {
    const Group I = Group::INJECTORS;
    const Group S = Group::STANDS;
    return {
        {"injector_active:1", I, [] { CRIT::active = 1; }, {CRIT::setInjStatus}},
        {"injector_count:300", I, [] { CRIT::count = 44; }, {CRIT::setInjector}},
        {"injector_channels:5", I, [] { CRIT::channels = 5; }, {CRIT::setInjector}},
        {"injector_width:1500", I, [] { CRIT::width = 1500; }, {CRIT::setInjector}},
        {"injector_first:300", I, [] { CRIT::first = 300; }, {CRIT::setInjector}},
        {"injector_interval:2.5", I, [] { CRIT::interval = 400000; }, {CRIT::setInjector}},
        {"injector_piezo:1", I, [] { CRIT::piezo = 1; }, {CRIT::setInjector}},
        {"injector_voltage:2", I, [] { CRIT::voltage = 2; }, {CRIT::setVoltage}},
        {"osc:0", I, [] { CRIT::osc = 0; }, {CRIT::startOSC}},
        {"regulator1_active:1",
         I,
         onChannel(0, [] { CRIT::CRSDActive = 1; }),
         {CRIT::setCRSDStatus}},
        {"regulator2_active:1",
         I,
         onChannel(1, [] { CRIT::CRSDActive = 1; }),
         {CRIT::setCRSDStatus}},
        {"regulator3_active:0",
         I,
         onChannel(2, [] { CRIT::CRSDActive = 0; }),
         {CRIT::setCRSDStatus}},
        {"regulator1_pressure:1200",
         I,
         onChannel(0, [] { CRIT::CRSDPressure = 1200; }),
         {CRIT::setCRSDPressure}},
        {"regulator1_current:1.5",
         I,
         onChannel(0, [] { CRIT::CRSDCurrent = 1500; }),
         {CRIT::setCRSDCurrent}},
        {"regulator1_duty_cycle:12.5",
         I,
         onChannel(0, [] { CRIT::CRSDDuty = 125; }),
         {CRIT::setCRSDDuty}},
        {"regulator2_current:0.75",
         I,
         onChannel(1, [] { CRIT::CRSDCurrent = 750; }),
         {CRIT::setCRSDCurrent}},
        {"regulator2_duty_cycle:33.5",
         I,
         onChannel(1, [] { CRIT::CRSDDuty = 335; }),
         {CRIT::setCRSDDuty}},
        {"regulator3_current:2",
         I,
         onChannel(2, [] { CRIT::CRSDCurrent = 2000; }),
         {CRIT::setCRSDCurrent}},
        {"regulator3_duty_cycle:50",
         I,
         onChannel(2, [] { CRIT::CRSDDuty = 500; }),
         {CRIT::setCRSDDuty}},
        {"injector_i1:20", I, [] { CRIT::injectorI1 = 30000; }, {CRIT::setI}},
        {"injector_i2:12", I, [] { CRIT::injectorI2 = 28000; }, {CRIT::setI}},
        {"sensor_type:2", I, [] { CRIT::pressureSensorType = 2; }, {CRIT::setSensorType}},
        // Rotation stays off: the motor guard keeps quiet while no stand turns. A stop goes
        // ahead of whatever the stand has queued, so it comes first of the stand's keys.
        {"device_active:0", S, [] { Stand::active = 0; }, {rotationSetting}},
        {"device_rpm:1200", S, [] { Stand::rpm = 1200; }, {Stand::setRPM}},
        {"device_rotate:1", S, [] { Stand::rotateDirection = 1; }, {Stand::setRPM}},
        {"device_pump:1", S, [] { Stand::pump = 1; }, {Stand::setPumpState}},
        {"device_fan:1", S, [] { Stand::fan = 1; }, {Stand::setFanState}},
        {"device_temperature:40", Group::STAND62_ONLY, [] {}, {temperature(4000)}},
        {"flowmeter_reset:1", Group::FLOWMETERS, [] {}, {Flowmeter::reset}},
        {"delaymeter_reset:1", Group::DELAYMETERS, [] {}, {CRIT::reset, CRIT::resetDelayMeter}},
        {"delaymeter_sensitivity:1.25",
         Group::DELAYMETERS,
         [] { CRIT::delaySensitivity = 12500; },
         {CRIT::setDelaySensitivity}},
        {"injector_status:1", I, [] {}, {CRIT::getInjStatus}},
        {"pressure_reset:1", I, [] {}, {CRIT::resetPressure}},
        {"leakage_max_time:8000", I, [] { CRIT::leakageMaxTime = 8000; }, {CRIT::setLeakage}},
        {"leakage_start_pressure:1000",
         I,
         [] { CRIT::leakageStartPressure = 1000; },
         {CRIT::setLeakage}},
        {"leakage_high_pressure:1100",
         I,
         [] { CRIT::leakageHighPressure = 1100; },
         {CRIT::setLeakage}},
        {"leakage_low_pressure:900", I, [] { CRIT::leakageLowPressure = 900; }, {CRIT::setLeakage}},
    };
}

// One key per group, sent after the batch: every board's line ends with them, so anything
// routed wrongly from the batch shows up before them.
std::vector<KeyCase> closingKeys() {
    return {
        {"injector_status:1", Group::INJECTORS, [] {}, {CRIT::getInjStatus}},
        {"device_fan:0", Group::STANDS, [] { Stand::fan = 0; }, {Stand::setFanState}},
        {"device_temperature:41", Group::STAND62_ONLY, [] {}, {temperature(4100)}},
        {"flowmeter_reset:1", Group::FLOWMETERS, [] {}, {Flowmeter::reset}},
        {"delaymeter_sensitivity:1.5",
         Group::DELAYMETERS,
         [] { CRIT::delaySensitivity = 15000; },
         {CRIT::setDelaySensitivity}},
    };
}

struct Board {
    std::string kind;
    std::string name;
    unsigned char device;
    // Reports that only a board programmed with its type's schedule sends.
    std::vector<unsigned char> scheduled;
};

}  // namespace

TEST(SimE2E, BoardsAreIdentifiedScheduledAndGetExactlyTheirGroupsCommands) {
    DefaultSettings defaults;
    const std::vector<Board> boards = {
        {"stand",
         "ttyUSB0",
         61,
         {codes::ROTATION_SPEED, codes::ROTATION_ACTIVE, codes::TEMPERATURE, codes::STAND_STATE,
          codes::PRESSURES}},
        {"stand62",
         "ttyUSB1",
         62,
         {codes::ROTATION_SPEED, codes::ROTATION_ACTIVE, codes::TEMPERATURE, codes::STAND_STATE,
          codes::PRESSURES}},
        {"crit",
         "ttyUSB2",
         34,
         {codes::PRESSURES, codes::OSC_CALIBRATION, codes::LEAKAGE, codes::REGULATOR_STATUS,
          codes::ROTATION_SPEED}},
        {"crit0303",
         "ttyUSB3",
         33,
         {codes::PRESSURES, codes::OSC_CALIBRATION, codes::LEAKAGE, codes::REGULATOR_STATUS,
          codes::ROTATION_SPEED}},
        {"flowmeter", "ttyUSB4", 12, {codes::FLOW, codes::FLOW_CALIBRATION}},
        {"delaymeter", "ttyUSB5", 5, {codes::DELAY_FIGURES}},
    };
    const std::string crsd = "ttyUSB6";
    std::vector<std::string> args;
    for (const Board& board : boards) {
        args.push_back(board.kind + "=" + board.name);
    }
    args.push_back("crsd=" + crsd);
    SimBench bench(args);
    // Connected before the first scan: each board is announced once, as it is identified.
    TcpClient client(bench.port());
    ASSERT_TRUE(client.connected());

    for (const Board& board : boards) {
        SCOPED_TRACE(board.kind);
        std::string announced = "device_connected:" + std::to_string(board.device) + ";";
        EXPECT_TRUE(client.waitFor(announced, 10000ms));
        for (unsigned char code : board.scheduled) {
            EXPECT_TRUE(waitUntil([&] { return sends(bench, board.name, code); }, 5000ms))
                << "no report " << static_cast<int>(code);
        }
    }
    // A CRSD answers every version request but is never taken on.
    ASSERT_TRUE(waitUntil(
        [&] {
            std::vector<SimFrame> asked = bench.frames(crsd, true);
            return std::count_if(asked.begin(), asked.end(),
                                 [](const SimFrame& f) { return f.isVersionRequest(); }) >= 3;
        },
        5000ms));
    EXPECT_GE(withCode(bench.frames(crsd, false), codes::VERSION).size(), 3u);
    for (const Board& board : boards) {
        EXPECT_EQ(occurrences(client.received(),
                              "device_connected:" + std::to_string(board.device) + ";"),
                  1u)
            << board.kind;
    }
    EXPECT_EQ(client.received().find("device_connected:2;"), std::string::npos);
    EXPECT_EQ(bench.daemonCount("DEVICE CONNECTED: "), boards.size());

    // Every key in one batch, then a closing key per group.
    std::map<std::string, std::size_t> before;
    for (const Board& board : boards) {
        before[board.name] = bench.frames(board.name, true).size();
    }
    std::map<std::string, Commands> commands;
    for (const auto& batch : {everyKey(), closingKeys()}) {
        std::string text;
        for (const KeyCase& key : batch) {
            text += key.message + ";";
            key.set();
            for (const Builder& build : key.build) {
                std::unique_ptr<Command> command = build();
                for (const Board& board : boards) {
                    if (receives(key.group, board.device)) {
                        commands[board.name].push_back(std::make_unique<Command>(*command));
                    }
                }
            }
        }
        client.send(text);
    }

    for (const Board& board : boards) {
        SCOPED_TRACE(board.kind);
        const Commands& wanted = commands[board.name];
        ASSERT_FALSE(wanted.empty());
        std::vector<SimFrame> got;
        EXPECT_TRUE(waitUntil(
            [&] {
                got = withoutRetries(bench.frames(board.name, true), before[board.name]);
                return got.size() >= wanted.size();
            },
            5000ms));
        EXPECT_EQ(got.size(), wanted.size());
        for (std::size_t k = 0; k < std::min(got.size(), wanted.size()); ++k) {
            EXPECT_EQ(hex(got[k].bytes), hex(frameOf(got[k].number(), *wanted[k])))
                << "command " << k;
            if (k > 0) {
                EXPECT_EQ(got[k].number(), static_cast<unsigned char>(got[k - 1].number() + 1));
            }
        }
    }
    for (const SimFrame& frame : bench.frames(crsd, true)) {
        EXPECT_TRUE(frame.code() == codes::VERSION || frame.code() == codes::SCHEDULE)
            << hex(frame.bytes);
    }
    EXPECT_EQ(bench.daemonCount("Parser error"), 0u);

    // Ended by SIGTERM, benchsim takes its links away.
    EXPECT_EQ(bench.simulator().stop(SIGTERM), 0);
    struct stat link {};
    EXPECT_NE(::lstat((bench.dir() + "/ttyUSB0").c_str(), &link), 0);
}

TEST(SimE2E, ReportsBecomeTheirClientMessagesAndClientsComeAndGo) {
    SimBench bench({"stand62=ttyUSB0", "crit=ttyUSB1", "flowmeter=ttyUSB2", "delaymeter=ttyUSB3"});
    const std::map<std::string, unsigned char> devices = {
        {"ttyUSB0", 62}, {"ttyUSB1", 34}, {"ttyUSB2", 12}, {"ttyUSB3", 5}};
    auto client = std::make_unique<TcpClient>(bench.port());
    ASSERT_TRUE(client->connected());
    for (const auto& device : devices) {
        ASSERT_TRUE(
            client->waitFor("device_connected:" + std::to_string(device.second) + ";", 10000ms));
    }
    client->send(
        "device_rpm:1500;device_active:1;device_fan:1;device_pump:1;device_temperature:40;"
        "injector_active:1;injector_i1:20;injector_i2:12;osc:1;regulator1_active:1;"
        "regulator1_current:1.5;regulator2_active:1;regulator2_duty_cycle:35.5;"
        "leakage_start_pressure:1000;leakage_low_pressure:900;leakage_max_time:8000;"
        "injector_status:1;flowmeter_reset:1;delaymeter_reset:1;");

    for (const auto& key : telemetryKeys()) {
        if (key.first != "device_disconnected") {
            EXPECT_TRUE(client->waitFor(key.first + ":", 10000ms)) << key.first;
        }
    }
    for (const std::string& message : messagesIn(client->received())) {
        std::string problem = malformed(message);
        EXPECT_EQ(problem, "") << message.substr(0, 200);
    }

    // The latest report of every code, as benchsim put it on the line, reaches the client
    // as exactly its messages.
    for (const auto& device : devices) {
        std::vector<SimFrame> sent = bench.frames(device.first, false);
        std::map<unsigned char, const SimFrame*> latest;
        for (const SimFrame& frame : sent) {
            latest[frame.code()] = &frame;
        }
        for (const auto& report : latest) {
            for (const std::string& message : messagesOf(device.second, *report.second)) {
                EXPECT_TRUE(client->waitFor(message, 3000ms))
                    << device.first << " " << hex(report.second->bytes) << " -> " << message;
            }
        }
    }
    // The charts: the six latest complete ones, with the board's calibration.
    std::vector<SimFrame> crit = bench.frames("ttyUSB1", false);
    std::vector<SimFrame> calibrations = withCode(crit, codes::OSC_CALIBRATION);
    ASSERT_FALSE(calibrations.empty());
    Calibration calibration = calibrationOf(calibrations.back());
    std::size_t chartPoints = 0;
    for (unsigned char code = codes::CHART_FIRST; code <= codes::CHART_LAST; ++code) {
        std::vector<unsigned> samples = lastChart(withCode(crit, code));
        ASSERT_FALSE(samples.empty()) << "chart " << code - codes::CHART_FIRST + 1;
        std::string message = chartKey(code) + ":";
        for (std::size_t i = 0; i < samples.size(); ++i) {
            message += (i ? "," : "") + real(sampleValue(samples[i], calibration));
        }
        EXPECT_TRUE(client->waitFor(message + ";", 3000ms)) << message.substr(0, 200);
        chartPoints = code == codes::CHART_FIRST ? samples.size() : chartPoints;
    }
    EXPECT_EQ(bench.daemonCount("Connection timeout"), 0u) << "every board keeps alive";

    // The chart in SVG: benchctl is the next client once this one has gone.
    client.reset();
    TempDir out;
    const std::string svgPath = out.path() + "/chart1.svg";
    Process chart({SimBench::tool("benchctl"), "--port", std::to_string(bench.port()), "chart", "1",
                   "--svg", svgPath, "--timeout", "20"});
    ASSERT_EQ(chart.wait(25000ms), 0) << chart.err();
    EXPECT_TRUE(chart.waitForOut("chart 1, " + std::to_string(chartPoints) + " points"))
        << chart.out();
    std::string svg = readFile(svgPath);
    std::string why;
    EXPECT_TRUE(tagsBalanced(svg, why)) << why;
    EXPECT_EQ(polylinePoints(svg), chartPoints);
    std::string python = onPath("python3");
    if (!python.empty()) {
        Process parsed({python, "-c",
                        "import sys, xml.etree.ElementTree as ET\n"
                        "root = ET.parse(sys.argv[1]).getroot()\n"
                        "line = root.find('{http://www.w3.org/2000/svg}polyline')\n"
                        "print(len(line.get('points').split()))\n",
                        svgPath});
        EXPECT_EQ(parsed.wait(10000ms), 0) << parsed.err();
        EXPECT_TRUE(parsed.waitForOut(std::to_string(chartPoints) + "\n")) << parsed.out();
    }

    // Nobody connected: what the boards report meanwhile, and the flowmeter pulled out, is
    // not for the next client. Its flow rises, so each flow message is one of a kind.
    ASSERT_TRUE(
        waitUntil([&] { return bench.daemonCount("Waiting for connection...\n") == 3; }, 5000ms));
    std::size_t flows = withCode(bench.frames("ttyUSB2", false), codes::FLOW).size();
    ASSERT_TRUE(waitUntil(
        [&] { return withCode(bench.frames("ttyUSB2", false), codes::FLOW).size() >= flows + 3; }));
    std::string stale =
        messagesOf(12, withCode(bench.frames("ttyUSB2", false), codes::FLOW)[flows])[0];
    const std::string flowmeterPts = bench.slavePath("ttyUSB2");
    bench.unlink("ttyUSB2");
    ASSERT_TRUE(bench.daemon().waitForOut("Device disconnected: ttyUSB2\n"));
    // Two delay meter reports later the daemon has long queued the disconnection.
    std::size_t delays = withCode(bench.frames("ttyUSB3", false), codes::DELAY_FIGURES).size();
    ASSERT_TRUE(waitUntil([&] {
        return withCode(bench.frames("ttyUSB3", false), codes::DELAY_FIGURES).size() >= delays + 2;
    }));

    TcpClient next(bench.port());
    ASSERT_TRUE(next.waitFor("device_connected:5;"));
    EXPECT_EQ(
        next.received().rfind("device_connected:62;device_connected:34;device_connected:5;", 0), 0u)
        << next.received().substr(0, 200);
    EXPECT_EQ(next.received().find(stale), std::string::npos) << stale;
    EXPECT_EQ(next.received().find("device_disconnected:"), std::string::npos);

    // Plugged in again: announced to the client that is there now.
    bench.link("ttyUSB2", flowmeterPts);
    ASSERT_TRUE(next.waitFor("device_connected:12;", 10000ms));
    std::size_t announced = next.received().find("device_connected:12;");
    EXPECT_TRUE(waitUntil(
        [&] { return next.received().find("flowmeter_flow:", announced) != std::string::npos; }));
    EXPECT_EQ(occurrences(next.received(), "device_connected:12;"), 1u);
    EXPECT_EQ(next.received().find("device_disconnected:"), std::string::npos);
}

TEST(SimE2E, UnpluggedAndSilentBoardsAndTheMotorGuard) {
    DefaultSettings defaults;
    // The faults start 5 s after benchsim: the daemon has taken every board on by then.
    SimBench bench({"stand=ttyUSB0,hold-rpm=980", "crit0303=ttyUSB1,silent-after=5",
                    "flowmeter=ttyUSB2,unplug-after=5,replug-after=2"});
    TcpClient client(bench.port());
    ASSERT_TRUE(client.connected());
    for (const char* announced :
         {"device_connected:61;", "device_connected:33;", "device_connected:12;"}) {
        ASSERT_TRUE(client.waitFor(announced, 10000ms)) << announced;
    }

    // The stand's motor turns steadily at 980 rpm, near the commanded 1000, while the stand
    // reports its rotation off: both guards stop it, each with rotation on, then off.
    client.send("device_rpm:1000;");
    EXPECT_TRUE(bench.daemon().waitForOut("Sended Command to stop MOTOR with DELTA\n", 10000ms));
    EXPECT_TRUE(bench.daemon().waitForOut("Sended Command to stop MOTOR\n", 10000ms));
    std::vector<SimFrame> stops;
    ASSERT_TRUE(waitUntil(
        [&] {
            stops =
                withCode(withoutRetries(bench.frames("ttyUSB0", true), 0), codes::ROTATION_ACTIVE);
            return stops.size() >= 4;
        },
        5000ms));
    for (std::size_t k = 0; k < stops.size(); ++k) {
        std::unique_ptr<Command> command = Stand::setRotateActive(k % 2 == 0 ? 1 : 0);
        EXPECT_EQ(hex(stops[k].bytes), hex(frameOf(stops[k].number(), *command))) << k;
        if (k % 2 == 1) {
            EXPECT_EQ(stops[k].number(), static_cast<unsigned char>(stops[k - 1].number() + 1));
        }
    }

    // Unplugged for 2 s, then a fresh board on a new terminal.
    ASSERT_TRUE(client.waitFor("device_disconnected:12;", 10000ms));
    std::size_t gone = client.received().find("device_disconnected:12;");
    EXPECT_TRUE(waitUntil(
        [&] { return client.received().find("device_connected:12;", gone) != std::string::npos; },
        10000ms));
    EXPECT_EQ(bench.daemonCount("Device disconnected: ttyUSB2\n"), 1u);

    // Silent: after a few scans without its version the tester is asked again from the start,
    // and the client is not told it went.
    EXPECT_TRUE(bench.daemon().waitForOut("Connection timeout\n", 15000ms));
    std::size_t silent = bench.lineOf("ttyUSB1: silent from now on");
    ASSERT_NE(silent, std::string::npos);
    std::vector<SimFrame> asked;
    ASSERT_TRUE(waitUntil(
        [&] {
            asked.clear();
            for (const SimFrame& frame : bench.frames("ttyUSB1", true)) {
                if (frame.line > silent) {
                    asked.push_back(frame);
                }
            }
            return asked.size() >= 3;
        },
        5000ms));
    EXPECT_EQ(hex(asked[0].bytes), hex(dataFrame(asked[0].number(), codes::VERSION, 2, {})));
    EXPECT_EQ(hex(asked[1].bytes), hex(dataFrame(asked[1].number(), codes::SCHEDULE, 1, {0xFF})));
    EXPECT_EQ(hex(asked[2].bytes), hex(dataFrame(asked[2].number(), codes::SCHEDULE, 1,
                                                 {0, codes::VERSION, 4, 0, 0, 0x03, 0xE8})));
    EXPECT_EQ(bench.daemonCount("Connection timeout\n"), 1u);
    EXPECT_EQ(bench.daemonCount("Device disconnected: ttyUSB1"), 0u);
    EXPECT_EQ(client.received().find("device_disconnected:33;"), std::string::npos);
    EXPECT_EQ(occurrences(client.received(), "device_connected:33;"), 1u);
}

// benchsim alone, the test playing the host: faults asked for on a FIFO while it runs, and the
// frame log telling what went over the line.
TEST(SimE2E, FrameLogAndControlCommands) {
    TempDir dir;
    const std::string fifo = dir.path() + "/control";
    const std::string log = dir.path() + "/frames.log";
    const std::string link = dir.path() + "/ttyUSB0";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Process sim({SimBench::tool("benchsim"), "--dir", dir.path(), "--frame-log", log, "--control",
                 fifo, "crit=ttyUSB0"});
    ASSERT_TRUE(waitUntil([&] { return ::access(link.c_str(), F_OK) == 0; }));

    // Each command through a writer of its own: the FIFO is opened again after each one.
    auto control = [&](const std::string& line) {
        FileDescriptor writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(writer.valid());
        const std::string text = line + "\n";
        ASSERT_EQ(::write(writer.get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    };
    FileDescriptor port;
    auto connect = [&] {
        port = FileDescriptor(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(port.valid());
    };
    // The host asks for the version (code 2) with frame `number`; what the board answers is
    // read and thrown away, so that the line never fills.
    auto ask = [&](unsigned char number) {
        Bytes request = dataFrame(number, codes::VERSION, 2, {});
        ASSERT_EQ(::write(port.get(), request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
    };
    auto drain = [&] {
        unsigned char buffer[512];
        while (::read(port.get(), buffer, sizeof buffer) > 0) {
        }
    };
    auto logged = [&](const std::string& text, std::size_t times = 1) {
        return waitUntil(
            [&] {
                drain();
                return occurrences(readFile(log), text) >= times;
            },
            10000ms);
    };
    const std::string reply = " 03040122\n";  // version 3.4.1, id 34
    connect();
    ask(1);
    EXPECT_TRUE(logged("ttyUSB0 rx data 2 1 -\n"));
    EXPECT_TRUE(logged("ttyUSB0 tx ack 1\n"));
    EXPECT_TRUE(logged("ttyUSB0 tx data 2 0" + reply));

    control("badcrc ttyUSB0 1");
    EXPECT_TRUE(logged("ttyUSB0 event badcrc 1\n"));
    ask(2);
    EXPECT_TRUE(logged("ttyUSB0 tx badcrc 2 1" + reply));

    control("noack ttyUSB0 2");
    EXPECT_TRUE(logged("ttyUSB0 event noack 2\n"));
    ask(3);
    EXPECT_TRUE(logged("ttyUSB0 tx data 2 2" + reply)) << "it still answers";
    EXPECT_TRUE(logged("ttyUSB0 event ack\n"));
    ask(4);
    EXPECT_TRUE(logged("ttyUSB0 tx ack 4\n"));
    EXPECT_EQ(occurrences(readFile(log), "tx ack 3\n"), 0u);

    control("reset ttyUSB0");
    EXPECT_TRUE(logged("ttyUSB0 event reset\n"));
    ask(5);
    EXPECT_TRUE(logged("ttyUSB0 tx data 2 0" + reply, 2)) << "numbered from the start again";

    control("no-such-command ttyUSB0");
    EXPECT_TRUE(sim.waitForErr("benchsim: control: unknown command 'no-such-command'\n"));
    control("unplug ttyUSB0");
    EXPECT_TRUE(logged("ttyUSB0 event unplug control\n"));
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
    control("replug ttyUSB0");
    EXPECT_TRUE(logged("ttyUSB0 event plug crit 34 /dev/pts/", 2));
    ASSERT_TRUE(waitUntil([&] { return ::access(link.c_str(), F_OK) == 0; }));
    connect();
    ask(6);
    EXPECT_TRUE(logged("ttyUSB0 tx data 2 0" + reply, 3)) << "a fresh board";
    EXPECT_EQ(sim.stop(SIGTERM), 0);

    // Whole lines, in the order of a clock that never goes back, the last one the exit.
    std::istringstream lines(readFile(log));
    std::string line, last;
    long long previous = 0;
    std::size_t count = 0;
    while (std::getline(lines, line)) {
        ++count;
        long long stamp = std::atoll(line.c_str());
        EXPECT_GE(stamp, previous) << line;
        EXPECT_EQ(line.find(" ttyUSB0 "), std::to_string(stamp).size()) << line;
        previous = stamp;
        last = line;
    }
    EXPECT_GT(count, 15u);
    EXPECT_EQ(readFile(log).back(), '\n');
    EXPECT_NE(last.find(" ttyUSB0 event unplug exit"), std::string::npos) << last;
}
