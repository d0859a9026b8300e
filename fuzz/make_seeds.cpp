// Writes the seed corpora: real frames of the board protocol and real client messages, laid
// out as each fuzz target reads its input. Usage: fuzz_make_seeds <corpus directory>.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes frame(unsigned char number, unsigned char code, Bytes payload) {
    Command command = Command::makeData(code, ACCESS_COMMAND, payload.data(),
                                        static_cast<unsigned char>(payload.size()));
    command.setNumber(number);
    command.createCommand();
    return Bytes(command.buffer, command.buffer + command.size());
}

Bytes ack(unsigned char number) {
    Command command;
    command.type = FRAME_ACK;
    command.setNumber(number);
    command.createCommand();
    return Bytes(command.buffer, command.buffer + command.size());
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes be16(unsigned value) {
    return {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

Bytes be32(unsigned value) {
    return join({be16(value >> 16), be16(value & 0xFFFF)});
}

Bytes text(const std::string& characters) {
    return Bytes(characters.begin(), characters.end());
}

// One report handler record: board selector, code, length, payload.
Bytes report(unsigned char board, unsigned char code, const Bytes& payload) {
    return join({{board, code, static_cast<unsigned char>(payload.size())}, payload});
}

// Board selectors of the report handler target.
constexpr unsigned char TESTER = 0;
constexpr unsigned char STAND = 2;
constexpr unsigned char STAND62 = 3;
constexpr unsigned char FLOWMETER = 4;
constexpr unsigned char DELAYMETER = 5;
constexpr unsigned char UNIDENTIFIED = 7;

std::string directory;
int written = 0;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string path = directory + "/" + target;
    ::mkdir(path.c_str(), 0755);
    std::ofstream file(path + "/" + name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ++written;
}

void frameParserSeeds() {
    const Bytes version = frame(7, codes::VERSION, {1, 0, 3, known_devices::STAND});
    const Bytes speed = frame(8, codes::ROTATION_SPEED, be32(1500));
    const Bytes chart =
        frame(9, codes::CHART_FIRST, join({{0}, be16(3), be16(2000), be16(2100), be16(2200)}));
    Bytes corrupt = speed;
    corrupt[8] ^= 0x40;
    Bytes longPayload(255);
    for (std::size_t i = 0; i < longPayload.size(); ++i) {
        longPayload[i] = static_cast<unsigned char>(i);
    }
    // Byte 0: no read lengths (the reader's 1024-byte block), or reads of 1, 7 and 3 bytes.
    const Bytes oneBlock = {0};
    const Bytes smallReads = {3, 0, 6, 2};
    write("fuzz_frame_parser", "version_reply", join({oneBlock, version}));
    write("fuzz_frame_parser", "stand_speed_split", join({smallReads, speed}));
    write("fuzz_frame_parser", "chart_segment", join({oneBlock, chart}));
    write("fuzz_frame_parser", "acks", join({smallReads, ack(5), ack(0), ack(0xA5)}));
    write("fuzz_frame_parser", "noise_corrupt_then_valid",
          join({smallReads, {0x0F, 0x33, 0xA5}, corrupt, {0xA5}, version, ack(7), speed}));
    write("fuzz_frame_parser", "empty_and_long_payload",
          join({{1, 99},
                frame(1, codes::INJECTOR_CURRENTS, {}),
                frame(2, codes::DEBUG_DUMP, longPayload)}));
}

void clientTextSeeds() {
    // Byte 0: receive block size minus one.
    const std::vector<std::pair<std::string, std::string>> messages = {
        {"injector_width", "injector_width:1500;"},
        {"stand_pair", "device_rpm:1000;device_active:1;"},
        {"interval", "injector_interval:2.5;injector_interval:0.5;injector_interval:abc;"},
        {"regulators", "regulator2_duty_cycle:12.57;regulator1_current:1.5;regulator3_active:1;"},
        {"scaled", "injector_i1:-2;delaymeter_sensitivity:1.3;injector_i2:1e10;"},
        {"groups", "device_temperature:25;flowmeter_reset:;delaymeter_reset:;injector_status:;"},
        {"low_bits_extra_piece", "injector_count:300;injector_width:1500:7;sensor_type:2;"},
        {"line_ends", "\ninjector_active:1;;injector_channels:3\r;flowmeter_reset;"},
        {"leakage", "leakage_max_time:60;leakage_start_pressure:300;osc:1;pressure_reset:;"},
    };
    for (const auto& entry : messages) {
        write("fuzz_client_text", entry.first, join({{3}, text(entry.second)}));
    }
}

void reportHandlerSeeds() {
    const Bytes calibration = join({be16(100), be16(10), be16(50), Bytes(14, 0), be16(2048)});
    Bytes guard;
    for (int i = 0; i < 12; ++i) {
        guard = join({guard, report(STAND, codes::ROTATION_SPEED, be32(800))});
    }
    Bytes flow;
    Bytes flowCalibration;
    for (unsigned k = 0; k < 10; ++k) {
        flow = join({flow, {static_cast<unsigned char>(k)}, be32(0), be32(1000 * k)});
        flowCalibration = join({flowCalibration, be32(k), be32(3 * k)});
    }
    const std::string dir = "fuzz_report_handlers";
    write(dir, "identify_then_speed",
          join({report(UNIDENTIFIED, codes::VERSION, {1, 0, 3, known_devices::STAND}),
                report(UNIDENTIFIED, codes::ROTATION_SPEED, be32(1500))}));
    write(dir, "stand_reports",
          join({report(STAND, codes::ROTATION_ACTIVE, {1}),
                report(STAND62, codes::TEMPERATURE,
                       join({{0, 0, 0}, be32(2512), be32(static_cast<unsigned>(-150))})),
                report(STAND, codes::STAND_STATE, {1, 0, 1, 0, 80}),
                report(STAND, codes::PRESSURES, join({be16(0), be16(150)}))}));
    write(dir, "motor_guard", guard);
    write(
        dir, "charts",
        join({report(TESTER, codes::OSC_CALIBRATION, calibration),
              report(TESTER, codes::CHART_FIRST, join({{0}, be16(4), be16(2000), be16(2100)})),
              report(TESTER, codes::CHART_FIRST, join({{1}, be16(4), be16(2200), be16(2300), {7}})),
              report(TESTER, codes::CHART_LAST, join({{0}, be16(1), be16(1)}))}));
    write(dir, "tester_reports",
          join({report(TESTER, codes::PRESSURES, join({{0}, be16(1200), be16(1500)})),
                report(TESTER, codes::INJECTOR_STATUS, {3}),
                report(TESTER, codes::REGULATOR_STATUS,
                       join({{1},
                             be16(1500),
                             be16(125),
                             {0},
                             be16(0),
                             be16(0),
                             {1},
                             be16(2000),
                             be16(500)})),
                report(TESTER, codes::LEAKAGE, join({{1, 0}, be32(42)})),
                report(TESTER, codes::DEBUG_DUMP, {1, 2, 3})}));
    write(dir, "meters",
          join({report(FLOWMETER, codes::FLOW, flow),
                report(FLOWMETER, codes::FLOW_CALIBRATION, flowCalibration),
                report(DELAYMETER, codes::DELAY_FIGURES,
                       join({{0}, be32(12000), be16(4), be32(2900), be32(3100)}))}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    directory = argv[1];
    ::mkdir(directory.c_str(), 0755);
    frameParserSeeds();
    clientTextSeeds();
    reportHandlerSeeds();
    std::printf("%d seeds written to %s\n", written, directory.c_str());
    return 0;
}
