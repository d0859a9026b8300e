// The device builders: byte-exact payloads and frames, and wide or negative settings cut to
// their fields' low bits.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>

#include "bench/crit.h"
#include "bench/flowmeter.h"
#include "bench/stand.h"
#include "protocol/command.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

std::string payloadOf(const std::unique_ptr<Command>& command) {
    return hex(Bytes(command->data, command->data + command->length()));
}

// The frame the sender would write for it with sequence number 0.
std::string frameOf(const std::unique_ptr<Command>& command) {
    command->setNumber(0);
    command->createCommand();
    return hex(Bytes(command->buffer, command->buffer + command->size()));
}

class BuildersTest : public ::testing::Test {
protected:
    void SetUp() override {
        CRIT::restoreDefaults();
        Stand::restoreDefaults();
    }
    void TearDown() override {
        CRIT::restoreDefaults();
        Stand::restoreDefaults();
    }
};

}  // namespace

// The codes are the numbers on the wire, not the names of protocol/codes.h, which this table
// pins.
TEST_F(BuildersTest, DefaultsGiveTheKnownPayloads) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<Command>()> build;
        int code;
        int access;
        const char* payload;
    };
    const Case cases[] = {
        {"setInjector", CRIT::setInjector, 11, 1,
         "06 01 00 00 03 E8 00 00 00 C8 00 01 86 A0 00 00"},
        {"setInjStatus", CRIT::setInjStatus, 12, 1, "00"},
        {"getInjStatus", CRIT::getInjStatus, 12, 2, ""},
        {"setI", CRIT::setI, 13, 1, "00 61 A8 61 A8 00"},
        {"setVoltage", CRIT::setVoltage, 18, 1, "00 3C"},
        {"startOSC", CRIT::startOSC, 20, 1, "00"},
        {"setSensorType", CRIT::setSensorType, 10, 1, "00 00"},
        {"resetPressure", CRIT::resetPressure, 10, 1, "00 01"},
        {"setCRSDPressure", CRIT::setCRSDPressure, 30, 1, "00 00 00 00 00 00 00 07 D0 02"},
        {"setCRSDCurrent", CRIT::setCRSDCurrent, 30, 1, "00 00 00 00 00 00 00 07 D0 00"},
        {"setCRSDDuty", CRIT::setCRSDDuty, 30, 1, "00 00 00 00 00 00 00 07 D0 01"},
        {"setCRSDStatus", CRIT::setCRSDStatus, 31, 1, "00 00 00"},
        {"setLeakage", CRIT::setLeakage, 27, 1, "01 90 01 5E 00 C8 00 00 3A 98"},
        {"setDelaySensitivity", CRIT::setDelaySensitivity, 13, 1, "00 32 C8 00 00"},
        {"reset", CRIT::reset, 60, 1, ""},
        {"resetDelayMeter", CRIT::resetDelayMeter, 60, 1, "3F"},
        {"setRotateActive", [] { return Stand::setRotateActive(); }, 42, 1, "00"},
        {"setFanState", Stand::setFanState, 47, 1, "00 00"},
        {"setPumpState", Stand::setPumpState, 47, 1, "01 00"},
        {"Flowmeter::reset", Flowmeter::reset, 56, 1, ""},
        {"Flowmeter::setLen", Flowmeter::setLen, 54, 1, "01"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Command> command = c.build();
        EXPECT_EQ(command->type, FRAME_DATA) << c.name;
        EXPECT_EQ(command->code(), c.code) << c.name;
        EXPECT_EQ(command->access(), c.access) << c.name;
        EXPECT_EQ(payloadOf(command), c.payload) << c.name;
    }
}

TEST_F(BuildersTest, EncodedFramesAreByteExact) {
    EXPECT_EQ(frameOf(CRIT::setInjector()),
              "A5 A5 0F 00 0B 01 10 06 01 00 00 03 E8 00 00 00 C8 00 01 86 A0 00 00 C8");
    EXPECT_EQ(frameOf(CRIT::setDelaySensitivity()), "A5 A5 0F 00 0D 01 05 00 32 C8 00 00 93");
    EXPECT_EQ(frameOf(CRIT::getInjStatus()), "A5 A5 0F 00 0C 02 00 2A");
    EXPECT_EQ(frameOf(CRIT::reset()), "A5 A5 0F 00 3C 01 00 A1");
    EXPECT_EQ(frameOf(Flowmeter::reset()), "A5 A5 0F 00 38 01 00 3F");

    CRIT::CRSDChannel = 1;
    CRIT::CRSDDuty = 125;
    EXPECT_EQ(frameOf(CRIT::setCRSDDuty()),
              "A5 A5 0F 00 1E 01 0A 01 00 00 00 00 00 7D 07 D0 01 94");

    Stand::rpm = 1500;
    Stand::rotateDirection = 1;
    EXPECT_EQ(frameOf(Stand::setRPM()), "A5 A5 0F 00 29 01 03 05 DC 01 1B");
}

TEST_F(BuildersTest, SettingsTravelInTheirFields) {
    CRIT::CRSDChannel = 2;
    CRIT::CRSDCurrent = 1500;
    CRIT::CRSDPressure = 1200;
    CRIT::CRSDActive = 1;
    CRIT::injectorI1 = 1;
    CRIT::injectorI2 = 0x0203;
    CRIT::leakageMaxTime = 0x01020304;
    CRIT::voltage = 200;
    CRIT::active = 1;
    CRIT::osc = 5;
    CRIT::pressureSensorType = 3;
    Stand::fan = 1;
    Stand::pump = 1;
    EXPECT_EQ(payloadOf(CRIT::setCRSDCurrent()), "02 05 DC 00 00 00 00 07 D0 00");
    EXPECT_EQ(payloadOf(CRIT::setCRSDPressure()), "02 00 00 04 B0 00 00 07 D0 02");
    EXPECT_EQ(payloadOf(CRIT::setCRSDStatus()), "02 01 00");
    EXPECT_EQ(payloadOf(CRIT::setI()), "00 00 01 02 03 00");
    EXPECT_EQ(payloadOf(CRIT::setLeakage()), "01 90 01 5E 00 C8 01 02 03 04");
    EXPECT_EQ(payloadOf(CRIT::setVoltage()), "00 C8");
    EXPECT_EQ(payloadOf(CRIT::setInjStatus()), "01");
    EXPECT_EQ(payloadOf(CRIT::startOSC()), "05");
    EXPECT_EQ(payloadOf(CRIT::setSensorType()), "03 00");
    EXPECT_EQ(payloadOf(Stand::setFanState()), "00 01");
    EXPECT_EQ(payloadOf(Stand::setPumpState()), "01 01");
}

TEST_F(BuildersTest, WideAndNegativeValuesKeepTheirLowBits) {
    struct Case {
        const char* name;
        std::function<void()> set;
        std::function<std::unique_ptr<Command>()> build;
        const char* payload;
    };
    const Case cases[] = {
        {"pressure 70000", [] { CRIT::CRSDPressure = 70000; }, CRIT::setCRSDPressure,
         "00 00 00 11 70 00 00 07 D0 02"},
        {"current -1", [] { CRIT::CRSDCurrent = -1; }, CRIT::setCRSDCurrent,
         "00 FF FF 00 00 00 00 07 D0 00"},
        {"duty INT32_MIN", [] { CRIT::CRSDDuty = INT32_MIN; }, CRIT::setCRSDDuty,
         "00 00 00 00 00 00 00 07 D0 01"},
        {"currents -2 and 65537",
         [] {
             CRIT::injectorI1 = -2;
             CRIT::injectorI2 = 65537;
         },
         CRIT::setI, "00 FF FE 00 01 00"},
        {"sensitivity INT32_MAX", [] { CRIT::delaySensitivity = INT32_MAX; },
         CRIT::setDelaySensitivity, "00 FF FF 00 00"},
        {"leakage negatives",
         [] {
             CRIT::leakageStartPressure = -1;
             CRIT::leakageHighPressure = 0x12345;
             CRIT::leakageLowPressure = INT32_MIN;
             CRIT::leakageMaxTime = -1;
         },
         CRIT::setLeakage, "FF FF 23 45 00 00 FF FF FF FF"},
        {"rpm 70000", [] { Stand::rpm = 70000; }, Stand::setRPM, "11 70 00"},
        {"rpm -1", [] { Stand::rpm = -1; }, Stand::setRPM, "FF FF 00"},
        {"rpm INT32_MIN", [] { Stand::rpm = INT32_MIN; }, Stand::setRPM, "00 00 00"},
        {"temperature 25", [] {}, [] { return Stand::setTemperature(2500); }, "00 00 09 C4"},
        {"temperature -5", [] {}, [] { return Stand::setTemperature(-500); }, "FF FF FE 0C"},
        {"temperature INT32_MIN", [] {}, [] { return Stand::setTemperature(INT32_MIN); },
         "80 00 00 00"},
    };
    for (const Case& c : cases) {
        CRIT::restoreDefaults();
        Stand::restoreDefaults();
        c.set();
        EXPECT_EQ(payloadOf(c.build()), c.payload) << c.name;
    }
    std::unique_ptr<Command> temperature = Stand::setTemperature(2500);
    EXPECT_EQ(temperature->code(), 46);
    EXPECT_EQ(temperature->access(), 1);
}

TEST_F(BuildersTest, ExplicitRotateStateLeavesTheSetting) {
    Stand::active = 1;
    EXPECT_EQ(payloadOf(Stand::setRotateActive(0)), "00");
    EXPECT_EQ(Stand::active, 1);
    EXPECT_EQ(payloadOf(Stand::setRotateActive()), "01");
}

TEST_F(BuildersTest, InjectorCountAndPeriod) {
    struct Case {
        uint8_t channels;
        int32_t count;
        const char* period;  // payload bytes 10 to 13, the interval 100000 shared out
    };
    const Case cases[] = {
        {0x00, 0, "00 01 86 A0"}, {0x01, 1, "00 01 86 A0"}, {0x05, 2, "00 00 C3 50"},
        {0x80, 1, "00 01 86 A0"}, {0xFF, 8, "00 00 30 D4"}, {0x07, 3, "00 00 82 35"},
    };
    for (const Case& c : cases) {
        CRIT::channels = c.channels;
        EXPECT_EQ(CRIT::injCountFromMask(), c.count) << int(c.channels);
        std::unique_ptr<Command> command = CRIT::setInjector();
        EXPECT_EQ(hex(Bytes(command->data + 10, command->data + 14)), c.period) << int(c.channels);
        EXPECT_EQ(command->data[1], c.channels);
    }
}

TEST_F(BuildersTest, InjectorWidthSplit) {
    struct Case {
        uint32_t width;
        uint32_t first;
        const char* split;  // remaining width, then first part (payload bytes 2 to 9)
    };
    const Case cases[] = {
        {1200, 200, "00 00 03 E8 00 00 00 C8"},
        {100, 200, "00 00 00 01 00 00 00 64"},  // negative remainder becomes 1
        {200, 200, "00 00 00 00 00 00 00 C8"},
        {0, 0, "00 00 00 00 00 00 00 00"},
        {0x7FFFFFFF, 0, "7F FF FF FF 00 00 00 00"},
        // Differences beyond the signed 32-bit range wrap there, without overflow.
        {0xFFFFFFFF, 0, "00 00 00 01 00 00 00 00"},
        {0, 0xFFFFFFFF, "00 00 00 01 00 00 00 00"},
        {5, 0x80000005, "00 00 00 01 00 00 00 05"},
    };
    for (const Case& c : cases) {
        CRIT::width = c.width;
        CRIT::first = c.first;
        std::unique_ptr<Command> command = CRIT::setInjector();
        EXPECT_EQ(hex(Bytes(command->data + 2, command->data + 10)), c.split)
            << c.width << " " << c.first;
    }
}
