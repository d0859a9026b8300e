// The simulated boards: protocol endpoint, schedule, report layouts, commands reflected in
// the reports, chart streams, faults, command line, and one run on real pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "boardkinds.h"
#include "boardmodel.h"
#include "controlinput.h"
#include "critmodel.h"
#include "framelog.h"
#include "outputqueue.h"
#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "replayplan.h"
#include "simboard.h"
#include "simoptions.h"
#include "simulator.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

// Frames found in a board's output, as the host's parser sees them.
struct Decoded {
    std::vector<Command> valid;
    int corrupted = 0;
};

struct DecodingSink : FrameParser::Sink {
    void noise(const unsigned char*, std::size_t) override {}
    void frame(const Command& frame, bool good, const unsigned char*, std::size_t) override {
        if (good) {
            out.valid.push_back(frame);
        } else {
            ++out.corrupted;
        }
    }
    Decoded out;
};

Decoded decode(const Bytes& bytes) {
    DecodingSink sink;
    FrameParser().feed(bytes.data(), bytes.size(), sink);
    return sink.out;
}

Bytes payloadOf(const Command& frame) {
    return Bytes(frame.data, frame.data + frame.length());
}

Bytes schedule(unsigned char code, uint32_t periodMs) {
    Bytes payload{0x00, code, 0x04, 0, 0, 0, 0};
    util::putBE32(payload.data(), 3, periodMs);
    return payload;
}

// One board driven by hand: the host's frames in, time moved on in 10 ms ticks, reports out.
class Harness {
public:
    explicit Harness(const std::string& kind, LinkFaults faults = {})
        : board_(board_kinds::make(kind, 7), faults, 11) {}

    // A command from the host; returns the board's immediate answer frames (ACKs dropped).
    std::vector<Command> command(unsigned char code, const Bytes& payload,
                                 unsigned char access = ACCESS_COMMAND) {
        Bytes frame = dataFrame(number_++, code, access, payload);
        board_.receive(frame.data(), frame.size(), now_);
        return dataFrames(board_.takeOutput());
    }
    void program(unsigned char code, uint32_t periodMs) {
        command(codes::SCHEDULE, schedule(code, periodMs));
    }
    // Ticks up to `untilMs` and returns every data frame sent meanwhile.
    std::vector<Command> runUntil(int64_t untilMs) {
        std::vector<Command> frames;
        for (; now_ <= untilMs; now_ += 10) {
            board_.tick(now_);
            for (Command& frame : dataFrames(board_.takeOutput())) {
                latest_[frame.code()] = payloadOf(frame);
                frames.push_back(frame);
            }
        }
        now_ = untilMs + 10;
        return frames;
    }
    // The payload of the latest report with `code` sent up to `untilMs` (empty if none).
    Bytes last(unsigned char code, int64_t untilMs) {
        runUntil(untilMs);
        return latest_[code];
    }
    int64_t now() const { return now_; }
    SimBoard& board() { return board_; }

private:
    static std::vector<Command> dataFrames(const Bytes& bytes) {
        std::vector<Command> frames;
        for (Command& frame : decode(bytes).valid) {
            if (frame.type == FRAME_DATA) {
                frames.push_back(frame);
            }
        }
        return frames;
    }
    SimBoard board_;
    std::map<int, Bytes> latest_;
    int64_t now_ = 0;
    unsigned char number_ = 0;
};

int32_t be32(const Bytes& bytes, size_t pos) {
    if (bytes.size() < pos + 4) {
        ADD_FAILURE() << "report too short: " << hex(bytes);
        return -1;
    }
    return util::chartoi(bytes.data(), static_cast<int>(pos));
}

int be16(const Bytes& bytes, size_t pos) {
    if (bytes.size() < pos + 2) {
        ADD_FAILURE() << "report too short: " << hex(bytes);
        return -1;
    }
    return util::chartou16(bytes.data(), static_cast<int>(pos));
}

// The host's conversion of one chart sample with the board's calibration.
double chartValue(int raw) {
    int32_t a = CritModel::CAL_HY * raw * 2 / CritModel::CAL_HX;
    int32_t b = CritModel::CAL_HY * CritModel::CAL_OFFSET / CritModel::CAL_HX;
    return (a - CritModel::CAL_L) * 0.004 / 3.0 - (b - CritModel::CAL_L) * 0.004 / 3.0;
}

}  // namespace

TEST(BenchsimEndpoint, AcknowledgesEachValidDataFrameFromTheHost) {
    Bytes version = dataFrame(5, codes::VERSION, 2, {});
    Bytes rpm = dataFrame(6, codes::ROTATION_SPEED, 1, {0x05, 0xDC, 0x01});
    Bytes broken = rpm;
    broken[8] ^= 0x01;
    struct Case {
        const char* name;
        std::vector<Bytes> reads;
        std::vector<unsigned char> acked;
    };
    const std::vector<Case> cases = {
        {"one frame", {rpm}, {6}},
        {"split across reads",
         {Bytes(rpm.begin(), rpm.begin() + 4), Bytes(rpm.begin() + 4, rpm.end())},
         {6}},
        {"back to back",
         {[&] {
             Bytes both = version;
             both.insert(both.end(), rpm.begin(), rpm.end());
             return both;
         }()},
         {5, 6}},
        {"noise first",
         {[&] {
             Bytes noisy = {0x00, 0x0F, 0x33, 0xA5};
             noisy.insert(noisy.end(), rpm.begin(), rpm.end());
             return noisy;
         }()},
         {6}},
        {"bad CRC", {broken}, {}},
        {"host ACK", {ackFrame(9)}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProtocolEndpoint endpoint;
        std::vector<unsigned char> delivered;
        for (const Bytes& read : c.reads) {
            for (const Command& frame : endpoint.receive(read.data(), read.size())) {
                delivered.push_back(frame.number());
            }
        }
        Bytes expected;
        for (unsigned char number : c.acked) {
            Bytes ack = ackFrame(number);
            expected.insert(expected.end(), ack.begin(), ack.end());
        }
        EXPECT_EQ(hex(endpoint.takeOutput()), hex(expected));
        EXPECT_EQ(delivered, c.acked);
    }
}

TEST(BenchsimEndpoint, LineFaults) {
    const int frames = 50;
    auto run = [&](LinkFaults faults) {
        ProtocolEndpoint endpoint(faults, 3);
        Bytes request = dataFrame(1, codes::VERSION, 2, {});
        size_t delivered = endpoint.receive(request.data(), request.size()).size();
        for (int i = 0; i < frames; ++i) {
            endpoint.send(codes::ROTATION_SPEED, {0, 0, 5, 0xDC});
        }
        Bytes out = endpoint.takeOutput();
        return std::make_tuple(delivered, decode(out), out.size());
    };
    const size_t clean = 5 + frames * 12;

    auto [delivered, noAck, noAckSize] = run({true, 0, false});
    EXPECT_EQ(delivered, 1u) << "an unacknowledged frame is still acted on";
    EXPECT_EQ(noAck.valid.size(), static_cast<size_t>(frames));
    EXPECT_EQ(noAckSize, clean - 5);

    auto [d2, corrupt, corruptSize] = run({false, 100, false});
    EXPECT_TRUE(corrupt.valid.empty());
    EXPECT_EQ(corrupt.corrupted, frames + 1) << "every frame breaks, and nothing else";
    EXPECT_EQ(corruptSize, clean);

    auto [d3, noisy, noisySize] = run({false, 0, true});
    EXPECT_EQ(noisy.valid.size(), static_cast<size_t>(frames + 1));
    EXPECT_EQ(noisy.corrupted, 0);
    EXPECT_GT(noisySize, clean);

    ProtocolEndpoint silent;
    silent.setSilent(true);
    Bytes request = dataFrame(1, codes::VERSION, 2, {});
    EXPECT_EQ(silent.receive(request.data(), request.size()).size(), 1u);
    silent.send(codes::ROTATION_SPEED, {0, 0, 0, 0});
    EXPECT_TRUE(silent.takeOutput().empty());
}

TEST(BenchsimBoard, AnswersTheVersionRequestWithItsId) {
    const std::map<std::string, int> ids = {{"stand", 61},    {"stand62", 62},   {"crit", 34},
                                            {"crit0303", 33}, {"flowmeter", 12}, {"delaymeter", 5},
                                            {"crsd", 2}};
    ASSERT_EQ(ids.size(), board_kinds::names().size());
    for (const auto& [kind, id] : ids) {
        SCOPED_TRACE(kind);
        Harness board(kind);
        std::vector<Command> answer = board.command(codes::VERSION, {}, ACCESS_REQUEST);
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(answer[0].code(), 2);
        ASSERT_EQ(answer[0].length(), 4);
        EXPECT_EQ(answer[0].data[3], id);
        // A version request is no setting: it is not echoed as one.
        EXPECT_TRUE(board.command(codes::VERSION, {}, ACCESS_REQUEST).size() == 1u);
    }
}

TEST(BenchsimBoard, SendsScheduledReportsNumberedAtTheirPeriodUntilCleared) {
    Harness board("stand62");
    board.program(codes::VERSION, 1000);
    board.program(codes::ROTATION_SPEED, 310);
    board.program(codes::ROTATION_SPEED, 250);  // the same code again takes the new period
    std::vector<Command> frames = board.runUntil(1000);
    std::map<int, int> counts;
    for (size_t i = 0; i < frames.size(); ++i) {
        ++counts[frames[i].code()];
        if (i > 0) {
            EXPECT_EQ(frames[i].number(), static_cast<unsigned char>(frames[i - 1].number() + 1));
        }
    }
    EXPECT_EQ(counts[41], 4);
    EXPECT_EQ(counts[2], 1);
    EXPECT_EQ(counts.size(), 2u);

    board.command(codes::SCHEDULE, {0xFF});
    EXPECT_TRUE(board.runUntil(3000).empty());
    board.program(codes::ROTATION_ACTIVE,
                  0);  // a period of 0 is refused rather than flooding the line
    EXPECT_TRUE(board.runUntil(3100).empty());
}

TEST(BenchsimBoard, ReportLayouts) {
    struct Case {
        const char* kind;
        unsigned char code;
        unsigned length;
    };
    const std::vector<Case> cases = {
        {"stand62", codes::ROTATION_SPEED, 4},
        {"stand62", codes::ROTATION_ACTIVE, 1},
        {"stand62", codes::TEMPERATURE, 11},
        {"stand62", codes::STAND_STATE, 6},
        {"stand", codes::PRESSURES, 4},
        {"crit", codes::PRESSURES, 5},
        {"crit0303", codes::INJECTOR_STATUS, 1},
        {"crit", codes::OSC_CALIBRATION, 22},
        {"crit", codes::REGULATOR_STATUS, 15},
        {"crit", codes::LEAKAGE, 8},
        {"crit", codes::ROTATION_SPEED, 4},
        {"flowmeter", codes::FLOW, 90},
        {"flowmeter", codes::FLOW_CALIBRATION, 80},
        {"delaymeter", codes::DELAY_FIGURES, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " code " + std::to_string(c.code));
        Harness board(c.kind);
        board.program(c.code, 100);
        std::vector<Command> frames = board.runUntil(150);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].code(), c.code);
        EXPECT_EQ(frames[0].length(), c.length);
    }
    // Codes without a report of their own echo the last setting, or stay quiet.
    Harness crit("crit");
    Bytes pulse(16, 0);
    pulse[1] = 1;
    crit.command(codes::INJECTOR_PULSE, pulse);
    crit.program(codes::INJECTOR_PULSE, 100);
    crit.program(codes::UNDECODED_15, 100);
    std::vector<Command> frames = crit.runUntil(150);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(hex(payloadOf(frames[0])), hex(pulse));
}

TEST(BenchsimStand, ReportsFollowTheCommands) {
    Harness stand("stand62");
    for (unsigned char code : {codes::ROTATION_SPEED, codes::ROTATION_ACTIVE, codes::TEMPERATURE,
                               codes::STAND_STATE, codes::PRESSURES}) {
        stand.program(code, 300);
    }
    stand.command(codes::ROTATION_SPEED, {0x05, 0xDC, 0x01});  // 1500 rpm
    EXPECT_EQ(be32(stand.last(codes::ROTATION_SPEED, 3000), 0), 0)
        << "no rotation before it is switched on";

    stand.command(codes::ROTATION_ACTIVE, {1});
    stand.command(codes::STAND_SWITCH, {0, 1});             // fan
    stand.command(codes::STAND_SWITCH, {1, 1});             // pump
    stand.command(codes::STAND_SWITCH, {2, 0});             // no such switch
    stand.command(codes::TEMPERATURE, {0, 0, 0x0F, 0xA0});  // 40.00 degrees
    EXPECT_NEAR(be32(stand.last(codes::ROTATION_SPEED, 4000), 0), 1000, 310) << "ramping";
    EXPECT_NEAR(be32(stand.last(codes::ROTATION_SPEED, 6000), 0), 1500, 3);
    EXPECT_EQ(stand.last(codes::ROTATION_ACTIVE, 6000), Bytes{1});
    Bytes state = stand.last(codes::STAND_STATE, 6000);
    ASSERT_EQ(state.size(), 6u);
    EXPECT_EQ(state[0], 1) << "fan";
    EXPECT_EQ(state[1], 1) << "pump";
    EXPECT_LE(state[4], 100) << "tank level";
    EXPECT_NEAR(be16(stand.last(codes::PRESSURES, 6000), 2), 350, 30)
        << "pump pressure, hundredths";

    int fuelBefore = be32(stand.last(codes::TEMPERATURE, 6000), 3);
    int fuelAfter = be32(stand.last(codes::TEMPERATURE, 40000), 3);
    EXPECT_GT(fuelAfter, fuelBefore);
    EXPECT_NEAR(fuelAfter, 4000, 200) << "towards the set-point";

    // Switched off, the motor runs down to a standstill (what the host's guard expects).
    stand.command(codes::ROTATION_ACTIVE, {0});
    std::vector<int> speeds;
    for (const Command& frame : stand.runUntil(44000)) {
        if (frame.code() == codes::ROTATION_SPEED) {
            speeds.push_back(util::chartoi(frame.data, 0));
        }
    }
    ASSERT_FALSE(speeds.empty());
    EXPECT_TRUE(std::is_sorted(speeds.rbegin(), speeds.rend()));
    EXPECT_EQ(speeds.back(), 0);
}

TEST(BenchsimCrit, RegulatorsStatusAndPressureFollowTheCommands) {
    Harness crit("crit");
    crit.program(codes::REGULATOR_STATUS, 800);
    crit.program(codes::PRESSURES, 600);
    crit.command(codes::REGULATOR_STATUS, {0, 1, 0});  // regulator 1 on
    crit.command(codes::REGULATOR_SET_POINT,
                 {0, 0x05, 0xDC, 0, 0, 0, 0, 0x07, 0xD0, 0});  // 1.500 A
    crit.command(codes::REGULATOR_STATUS, {1, 1, 0});          // regulator 2 on
    crit.command(codes::REGULATOR_SET_POINT, {1, 0, 0, 0, 0, 0, 125, 0x07, 0xD0, 1});  // 12.5 %
    crit.command(codes::REGULATOR_SET_POINT,
                 {2, 0x03, 0xE8, 0, 0, 0, 0, 0x07, 0xD0, 0});  // regulator 3 stays off
    crit.command(codes::REGULATOR_SET_POINT,
                 {7, 0x03, 0xE8, 0, 0, 0, 0, 0x07, 0xD0, 0});  // no such channel

    Bytes regulators = crit.last(codes::REGULATOR_STATUS, 1000);
    ASSERT_EQ(regulators.size(), 15u);
    EXPECT_EQ(regulators[0], 1);
    EXPECT_EQ(be16(regulators, 1), 1500);
    EXPECT_EQ(be16(regulators, 3), 500);
    EXPECT_EQ(regulators[5], 1);
    EXPECT_EQ(be16(regulators, 8), 125);
    EXPECT_EQ(be16(regulators, 6), 375);
    EXPECT_EQ(regulators[10], 0);
    EXPECT_EQ(be16(regulators, 11), 0);

    Bytes pressures = crit.last(codes::PRESSURES, 6000);
    EXPECT_NEAR(be16(pressures, 1), 1200, 20) << "the rail follows regulator 1";
    EXPECT_GE(be16(pressures, 3), be16(pressures, 1) - 2) << "maximum";
    crit.command(codes::REGULATOR_STATUS, {0, 0, 0});
    pressures = crit.last(codes::PRESSURES, 12000);
    EXPECT_LT(be16(pressures, 1), 50);
    EXPECT_GT(be16(pressures, 3), 1100) << "the maximum holds";
    crit.command(codes::PRESSURE_SENSOR, {0, 1});  // the maximum restarts from the present pressure
    EXPECT_LT(be16(crit.last(codes::PRESSURES, 13000), 3), 50);

    crit.command(codes::INJECTOR_STATUS, {1});
    std::vector<Command> status = crit.command(codes::INJECTOR_STATUS, {}, ACCESS_REQUEST);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].code(), codes::INJECTOR_STATUS);
    EXPECT_EQ(hex(payloadOf(status[0])), "01");
}

TEST(BenchsimCrit, ChartSegmentsCountExactlyTheAnnouncedPoints) {
    Harness crit("crit");
    crit.command(codes::INJECTOR_STATUS, {1});  // injectors on, output 1 only
    crit.command(codes::INJECTOR_CURRENTS,
                 {0, 0x7E, 0xF4, 0x75, 0x30, 0});  // 32500 = 30 A peak, 30000 = 20 A hold
    EXPECT_TRUE(crit.runUntil(2000).empty()) << "no charts while the oscillogram is off";
    crit.command(codes::OSC_START, {1});

    std::vector<Command> frames = crit.runUntil(2500);
    std::map<int, std::vector<Command>> byChart;
    for (const Command& frame : frames) {
        ASSERT_GE(frame.code(), codes::CHART_FIRST);
        ASSERT_LE(frame.code(), codes::CHART_LAST);
        byChart[frame.code()].push_back(frame);
    }
    ASSERT_EQ(byChart.size(), 6u);
    for (auto& [code, segments] : byChart) {
        SCOPED_TRACE("chart code " + std::to_string(code));
        ASSERT_GE(segments.size(), 2u);
        int announced = util::chartou16(segments[0].data, 1);
        int points = 0;
        double peak = 0;
        for (size_t i = 0; i < segments.size(); ++i) {
            const Command& segment = segments[i];
            EXPECT_EQ(segment.data[0], i == 0 ? 0 : 1) << "switch";
            EXPECT_EQ(util::chartou16(segment.data, 1), announced);
            EXPECT_EQ(segment.length() % 2, 1) << "3 header bytes and whole samples";
            for (int at = 3; at + 1 < segment.length(); at += 2) {
                peak = std::max(peak, chartValue(util::chartou16(segment.data, at)));
                ++points;
            }
        }
        EXPECT_EQ(points, announced);
        EXPECT_NEAR(peak, code == codes::CHART_FIRST ? 30.0 : 0.0, 1.0)
            << "only output 1 pulses, at I1";
    }

    EXPECT_EQ(crit.runUntil(2900).size(), 0u) << "one set of charts a second";
    EXPECT_EQ(crit.runUntil(3100).size(), frames.size());
    crit.command(codes::OSC_START, {0});
    EXPECT_TRUE(crit.runUntil(6000).empty());
}

TEST(BenchsimCrit, LeakageProgressAfterTheTestStarts) {
    Harness crit("crit");
    crit.program(codes::LEAKAGE, 200);
    EXPECT_EQ(be32(crit.last(codes::LEAKAGE, 1000), 2), 0);
    crit.command(codes::LEAKAGE,
                 {0x01, 0x90, 0x01, 0x5E, 0x00, 0xC8, 0x00, 0x00, 0x07, 0xD0});  // 2000 ms
    Bytes running = crit.last(codes::LEAKAGE, 2000);
    ASSERT_EQ(running.size(), 8u);
    EXPECT_EQ(running[0], 1);
    EXPECT_NEAR(be32(running, 2), 1000, 210);
    Bytes done = crit.last(codes::LEAKAGE, 5000);
    ASSERT_EQ(done.size(), 8u);
    EXPECT_EQ(done[0], 0);
    EXPECT_EQ(be32(done, 2), 2000);
    EXPECT_EQ(be16(done, 6), 200) << "down to the low pressure";
}

TEST(BenchsimMeters, FiguresMoveAndRestartOnReset) {
    struct Case {
        const char* kind;
        unsigned char report;
        unsigned char reset;
        Bytes resetPayload;
        int (*figure)(const Bytes&);
    };
    const std::vector<Case> cases = {
        {"flowmeter",
         codes::FLOW,
         codes::FLOW_RESET,
         {},
         [](const Bytes& p) {
             return static_cast<int>(util::chartol(p.data(), 1) / std::max<int>(1, p[0]));
         }},
        {"delaymeter",
         codes::DELAY_FIGURES,
         codes::DELAY_RESET,
         {0x3F},
         [](const Bytes& p) { return be16(p, 5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Harness meter(c.kind);
        meter.program(c.report, 500);
        int first = c.figure(meter.last(c.report, 1000));
        int later = c.figure(meter.last(c.report, 5000));
        EXPECT_GT(first, 0);
        EXPECT_GT(later, first);
        meter.command(c.reset, c.resetPayload);
        int restarted = c.figure(meter.last(c.report, 5600));
        EXPECT_LT(restarted, first + 1);
    }
    Harness delay("delaymeter");
    delay.program(codes::DELAY_FIGURES, 500);
    Bytes figures = delay.last(codes::DELAY_FIGURES, 3000);
    int count = be16(figures, 5);
    int average = be32(figures, 1) / count;
    EXPECT_LE(be32(figures, 7), average);
    EXPECT_GE(be32(figures, 11), average);
}

TEST(BenchsimOptions, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
    };
    const std::vector<Case> cases = {
        {{"--dir", "/d", "stand=ttyUSB0"}, true},
        {{"--dir=/d", "crit=ttyUSB0,corrupt=5,garbage", "-v"}, true},
        {{"--dir", "/d", "crit=ttyUSB0,unplug-after=1.5,replug-after=2"}, true},
        {{"stand=ttyUSB0"}, false},                     // no directory
        {{"--dir", "/d"}, false},                       // no board
        {{"--dir", "/d", "lathe=ttyUSB0"}, false},      // unknown kind
        {{"--dir", "/d", "crit=../x"}, false},          // not a file name
        {{"--dir", "/d", "crit=a", "stand=a"}, false},  // one name twice
        {{"--dir", "/d", "crit=a,corrupt=101"}, false},
        {{"--dir", "/d", "crit=a,corrupt"}, false},
        {{"--dir", "/d", "crit=a,no-ack=1"}, false},
        {{"--dir", "/d", "crit=a,replug-after=1"}, false},  // nothing to replug
        {{"--dir", "/d", "--silent-after", "-1", "crit=a"}, false},
        {{"--dir", "/d", "--frobnicate", "crit=a"}, false},
        {{"--dir", "/d", "crit"}, false},
        {{"--dir", "/d", "stand62=a,hold-rpm=980"}, true},
        {{"--dir", "/d", "crit=a,hold-rpm=980"}, false},  // a tester has no motor
        {{"--dir", "/d", "stand=a,hold-rpm=-5"}, false},
        {{"--dir", "/d", "--hold-rpm", "5", "stand=a"}, false},  // a board fault only
        {{"--dir", "/d", "--replay", "s.pcap", "--replay-speed", "2.5"}, true},
        {{"--replay", "s.pcap"}, false},                            // no directory
        {{"--dir", "/d", "--replay", "s.pcap", "crit=a"}, false},   // the capture's boards only
        {{"--dir", "/d", "--replay-speed", "2", "crit=a"}, false},  // nothing to replay
        {{"--dir", "/d", "--replay", "s.pcap", "--replay-speed", "0"}, false},
        {{"--dir", "/d", "--replay", "s.pcap", "--replay-speed", "inf"}, false},
        {{"--dir", "/d", "--seed", "abc", "crit=a"}, false},
        {{"--dir", "/d", "--seed"}, false},  // a value missing at the end
        {{"--dir", "/d", "--no-ack=1", "crit=a"}, false},
        {{"--dir", "/d", "--corrupt", "200", "--corrupt", "5", "crit=a"}, false},  // each value
        {{"--dir", "/d", "--silent-after=2", "--seed", "3", "crit=a", "--no-ack"}, true},
        {{"--dir", "/d", "-x", "crit=a"}, false},
        {{"--frobnicate", "--help"}, true},  // help wins wherever it stands
        {{"--dir", "/d", "--frame-log", "f", "--control", "-", "crit=a"}, true},
        {{"--dir", "/d", "--frame-log=", "crit=a"}, false},
        {{"--dir", "/d", "--replay", "s.pcap", "--control", "c"}, false},  // simulated boards only
    };
    for (const Case& c : cases) {
        SimConfig config;
        std::string error;
        std::string line;
        for (const std::string& arg : c.args) {
            line += arg + " ";
        }
        EXPECT_EQ(SimOptions::parse(c.args, config, error), c.ok) << line << error;
        EXPECT_EQ(error.empty(), c.ok) << line;
    }

    SimConfig config;
    std::string error;
    ASSERT_TRUE(SimOptions::parse({"--dir", "/d", "--corrupt", "20", "--no-ack", "crit=a",
                                   "stand62=b,corrupt=0,silent-after=2.5"},
                                  config, error));
    ASSERT_EQ(config.boards.size(), 2u);
    EXPECT_EQ(config.boards[0].link.corruptPercent, 20);
    EXPECT_TRUE(config.boards[0].link.noAck);
    EXPECT_EQ(config.boards[1].link.corruptPercent, 0) << "a board's own fault wins";
    EXPECT_TRUE(config.boards[1].link.noAck);
    EXPECT_DOUBLE_EQ(config.boards[1].silentAfter, 2.5);
    EXPECT_LT(config.boards[0].silentAfter, 0);
}

TEST(BenchsimControl, Commands) {
    struct Case {
        const char* line;
        const char* parsed;  // verb board number, or the reason it is refused
    };
    const std::vector<Case> cases = {
        {"unplug ttyUSB0", "0 ttyUSB0 0"},
        {"  replug\tttyUSB0 ", "1 ttyUSB0 0"},
        {"silent a 2.5", "2 a 2.5"},
        {"reset a", "3 a 0"},
        {"noise a 4096", "4 a 4096"},
        {"badcrc a 3", "5 a 3"},
        {"noack a 1", "6 a 1"},
        {"hold a 7.5 1500", "7 a 7.5"},
        {"", "empty command"},
        {"pull a", "unknown command 'pull'"},
        {"unplug", "unplug takes NAME, not 'unplug'"},
        {"reset a b", "reset takes NAME, not 'reset a b'"},
        {"silent a", "silent takes NAME SECONDS, not 'silent a'"},
        {"silent a 0", "silent takes seconds above 0, up to 86400, not '0'"},
        {"noack a -1", "noack takes seconds above 0, up to 86400, not '-1'"},
        {"noack a nan", "noack takes seconds above 0, up to 86400, not 'nan'"},
        {"silent a 86401", "silent takes seconds above 0, up to 86400, not '86401'"},
        {"noise a 0", "noise takes a count from 1 to 4096, not '0'"},
        {"noise a 4097", "noise takes a count from 1 to 4096, not '4097'"},
        {"badcrc a 2x", "badcrc takes a count from 1 to 1000000, not '2x'"},
        {"badcrc a 99999999999", "badcrc takes a count from 1 to 1000000, not '99999999999'"},
        {"hold a 2", "hold takes NAME SECONDS RPM, not 'hold a 2'"},
        {"hold a 2 100001", "hold takes a speed from 0 to 100000 rpm, not '100001'"},
        {"hold a 0 1", "hold takes seconds above 0, up to 86400, not '0'"},
    };
    for (const Case& c : cases) {
        ControlCommand command;
        std::string error;
        std::string got;
        if (ControlCommand::parse(c.line, command, error)) {
            char number[32];
            std::snprintf(
                number, sizeof number, "%g",
                command.seconds > 0 ? command.seconds : static_cast<double>(command.count));
            got = std::to_string(command.verb) + " " + command.board + " " + number;
        } else {
            got = error;
        }
        EXPECT_EQ(got, c.parsed) << c.line;
    }
}

// The frame log's bookkeeping: a piece is told as sent when its last byte is written, and as
// lost when its batch does not fit or the queue is dropped with it still (partly) in it.
TEST(BenchsimFrameLog, PiecesWrittenWholeOrLost) {
    ProtocolEndpoint endpoint({false, 0, true}, 5);  // noise before every frame
    endpoint.recordLine(true);
    Bytes request = dataFrame(9, codes::VERSION, 2, {});
    endpoint.receive(request.data(), request.size());
    endpoint.corruptNext(1);
    endpoint.send(codes::ROTATION_SPEED, {0, 0, 5, 0xDC});
    endpoint.send(codes::ROTATION_SPEED, {});
    std::vector<LineEvent> pieces;
    Bytes bytes = endpoint.takeOutput(&pieces);

    std::vector<std::string> sent;
    std::size_t covered = 0;
    for (const LineEvent& piece : pieces) {
        sent.push_back(FrameLog::sent(piece));
        covered += piece.size;
    }
    EXPECT_EQ(covered, bytes.size()) << "the pieces cover every byte";
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[1], "tx ack 9");
    EXPECT_EQ(sent[3], "tx badcrc 41 0 000005dc");
    EXPECT_EQ(sent[5], "tx data 41 1 -");
    EXPECT_EQ(sent[0].rfind("tx noise ", 0), 0u);
    std::vector<LineEvent> received = endpoint.takeReceived();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(FrameLog::received(received[0]), "rx data 2 9 -");

    OutputQueue queue(bytes.size() + 4);
    std::vector<LineEvent> lost;
    ASSERT_TRUE(queue.add(bytes, pieces, lost));
    auto told = [](const std::vector<LineEvent>& done) {
        std::string text;
        for (const LineEvent& piece : done) {
            text += FrameLog::sent(piece) + ";";
        }
        return text;
    };
    // Up to one byte short of the ack's end: only the noise before it is out whole.
    EXPECT_EQ(told(queue.written(pieces[0].size + 4)), FrameLog::sent(pieces[0]) + ";");
    EXPECT_EQ(told(queue.written(1)), "tx ack 9;");
    EXPECT_EQ(told(queue.written(pieces[2].size + 3)), FrameLog::sent(pieces[2]) + ";");

    // A batch past the limit is dropped whole, and nothing already queued is touched.
    ASSERT_FALSE(queue.add(bytes, {pieces[1], pieces[3]}, lost));
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(FrameLog::lost(lost[0], "overflow"), "tx lost overflow ack 9");
    EXPECT_EQ(FrameLog::lost(lost[1], "overflow"), "tx lost overflow 41 0");

    // Unplugged: the partly written frame and the rest never went out whole.
    std::vector<std::string> gone;
    for (const LineEvent& piece : queue.clear()) {
        if (piece.kind != LineEvent::NOISE) {  // noise is never told lost
            gone.push_back(FrameLog::lost(piece, "unplug"));
        }
    }
    EXPECT_EQ(gone, (std::vector<std::string>{"tx lost unplug 41 0", "tx lost unplug 41 1"}));
    EXPECT_TRUE(queue.empty());
}

TEST(BenchsimSimulator, BoardsOnPseudoTerminalsPlugAndUnplug) {
    TempDir dir;
    SimConfig config;
    std::string error;
    ASSERT_TRUE(SimOptions::parse({"--dir", dir.path(), "crit=ttyUSB0",
                                   "flowmeter=ttyUSB1,unplug-after=0.3,replug-after=0.5"},
                                  config, error));
    Simulator simulator(config, nullptr);
    ASSERT_TRUE(simulator.start(error)) << error;
    std::atomic<bool> stop{false};
    std::thread loop([&] { simulator.run(stop); });

    const std::string crit = dir.path() + "/ttyUSB0";
    const std::string flowmeter = dir.path() + "/ttyUSB1";
    auto present = [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; };
    char target[64] = {};
    ASSERT_GT(::readlink(crit.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);

    // The host's side of the line: the version request in, the ACK and the reply out.
    FileDescriptor port(::open(crit.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(port.valid());
    Bytes request = dataFrame(0, codes::VERSION, 2, {});
    ASSERT_EQ(::write(port.get(), request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    Bytes received;
    EXPECT_TRUE(waitUntil([&] {
        unsigned char buffer[256];
        ssize_t n = ::read(port.get(), buffer, sizeof buffer);
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
        }
        return received.size() >= 5 + 12;
    }));
    EXPECT_EQ(hex(received),
              "A5 A5 33 00 00 " + hex(dataFrame(0, codes::VERSION, 1, {3, 4, 1, 34})));

    EXPECT_TRUE(waitUntil([&] { return !present(flowmeter); })) << "unplugged";
    EXPECT_TRUE(waitUntil([&] { return present(flowmeter); })) << "plugged in again";
    EXPECT_TRUE(present(crit));

    stop = true;
    loop.join();
    simulator.shutdown();
    EXPECT_FALSE(present(crit));
    EXPECT_FALSE(present(flowmeter));
}

// A fault time too large for the clock's arithmetic is far off, not already past.
TEST(BenchsimSimulator, AFaultTimeBeyondReachNeverComes) {
    TempDir dir;
    SimConfig config;
    std::string error;
    ASSERT_TRUE(SimOptions::parse(
        {"--dir", dir.path(), "crit=far,unplug-after=1e300", "flowmeter=near,unplug-after=0.05"},
        config, error));
    Simulator simulator(config, nullptr);
    ASSERT_TRUE(simulator.start(error)) << error;
    std::atomic<bool> stop{false};
    std::thread loop([&] { simulator.run(stop); });
    auto present = [&](const char* name) {
        return ::access((dir.path() + "/" + name).c_str(), F_OK) == 0;
    };
    // One pass of the loop applies every board's timers, so "far" would be gone first.
    EXPECT_TRUE(waitUntil([&] { return !present("near"); }));
    EXPECT_TRUE(present("far"));
    stop = true;
    loop.join();
}

// A pause of under a day is played as it was; a longer step, either way, is the clock being
// set: left out of the timeline, said for the first three, then counted.
TEST(BenchsimReplayPlan, ClockJumpsAreLeftOutAndSaid) {
    constexpr int64_t HOUR = 3600LL * 1000000;
    constexpr int64_t BASE = 1700000000000000;
    std::vector<capture::Record> records;
    auto add = [&](int64_t us, capture::Kind kind) {
        capture::Record record;
        record.microseconds = us;
        record.direction = kind == capture::Kind::DataFrame ? capture::Direction::FromBoard
                                                            : capture::Direction::Daemon;
        record.kind = kind;
        record.port = "ttyUSB0";
        record.payload =
            kind == capture::Kind::DataFrame ? std::vector<uint8_t>{1} : std::vector<uint8_t>{};
        records.push_back(record);
    };
    add(BASE, capture::Kind::PortOpened);
    add(BASE + 23 * HOUR, capture::Kind::DataFrame);  // a long pause, kept
    // Five jumps: two years forward, back, forward, back, forward.
    for (int jump = 0; jump < 5; ++jump) {
        add(BASE + 23 * HOUR + (jump % 2 == 0 ? 17532 * HOUR : 0) + jump + 1,
            capture::Kind::DataFrame);
    }
    ReplayPlan plan;
    std::string error;
    ASSERT_TRUE(ReplayPlan::build(records, plan, error)) << error;
    EXPECT_EQ(plan.endUs - plan.startUs, 23 * HOUR) << "only the pause is left";
    ASSERT_EQ(plan.notes.size(), 4u);
    EXPECT_EQ(
        plan.notes[0],
        "the capture's clock jumps 2.0 years forward at 82800.000 s; the replay goes straight "
        "on from there");
    EXPECT_EQ(plan.notes[1].substr(0, 40), "the capture's clock jumps 2.0 years back");
    EXPECT_EQ(plan.notes[3],
              "the capture's clock jumps 5 times in all; the replay waits out none of them");
    const std::vector<ReplaySegment::Chunk>& chunks = plan.ports.at(0).segments.at(0).chunks;
    ASSERT_EQ(chunks.size(), 6u);
    for (const ReplaySegment::Chunk& chunk : chunks) {
        EXPECT_EQ(chunk.us, BASE + 23 * HOUR) << "in order, no wait between them";
    }
}

// A bench that starts with its clock unset (1970), has it set, then set back an hour: the
// step back would take the timeline before the epoch, where -1 means "none". The plan's times
// stay at or after it, and the stretch's first request stays its anchor.
TEST(BenchsimReplayPlan, ClockSetBackNearTheEpochKeepsTheFirstRequest) {
    constexpr int64_t HOUR = 3600LL * 1000000;
    constexpr int64_t SET = 1700000000000000;
    std::vector<capture::Record> records;
    auto add = [&](int64_t us, capture::Direction direction, capture::Kind kind) {
        capture::Record record;
        record.microseconds = us;
        record.direction = direction;
        record.kind = kind;
        record.port = "ttyUSB0";
        record.payload =
            kind == capture::Kind::DataFrame ? std::vector<uint8_t>{1} : std::vector<uint8_t>{};
        records.push_back(record);
    };
    add(1000, capture::Direction::Daemon, capture::Kind::PortOpened);
    add(SET, capture::Direction::FromBoard, capture::Kind::DataFrame);
    add(SET - 2 * HOUR, capture::Direction::Daemon, capture::Kind::PortClosed);
    add(SET - 2 * HOUR + 1, capture::Direction::Daemon, capture::Kind::PortOpened);
    add(SET - 2 * HOUR + 2, capture::Direction::ToBoard, capture::Kind::DataFrame);
    add(SET - 2 * HOUR + 3, capture::Direction::ToBoard, capture::Kind::DataFrame);
    ReplayPlan plan;
    std::string error;
    ASSERT_TRUE(ReplayPlan::build(records, plan, error)) << error;
    ASSERT_EQ(plan.ports.at(0).segments.size(), 2u);
    const ReplaySegment& second = plan.ports.at(0).segments[1];
    EXPECT_GE(second.openUs, 0);
    EXPECT_EQ(second.anchorUs, second.openUs) << "the first request, not the last";
    EXPECT_EQ(plan.firstAnchorUs, second.anchorUs);
    EXPECT_GE(plan.startUs, 0);
}
