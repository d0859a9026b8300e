// Stand reports: speed with the motor guard, rotation active, temperatures, stand state.

#include <memory>
#include <string>
#include <vector>

#include "decoder_fixture.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::string STOP_DELTA = "Sended Command to stop MOTOR with DELTA\n";
const std::string STOP_COMMAND = "Sended Command to stop MOTOR\n";

class TelemetryStandTest : public DecoderFixture {
protected:
    void SetUp() override {
        DecoderFixture::SetUp();
        channel.setDevice(known_devices::STAND);
    }
    void TearDown() override {
        while (channel.sendManager->popQueued()) {
        }
        DecoderFixture::TearDown();
    }

    static Bytes speed(int32_t rpm) {
        Bytes payload(4);
        util::putBE32(payload.data(), 0, static_cast<uint32_t>(rpm));
        return payload;
    }

    // Reports `rpm` and returns what the guard printed.
    std::string reportSpeed(int32_t rpm) {
        std::string printed;
        EXPECT_EQ(feed(codes::ROTATION_SPEED, speed(rpm), printed),
                  Messages{"device_rpm:" + std::to_string(rpm) + ";"});
        return printed;
    }

    // The stop sequences queued for the stand, as the rotation-active states they send.
    std::vector<int> queuedStates() {
        std::vector<int> states;
        while (std::unique_ptr<Command> command = channel.sendManager->popQueued()) {
            EXPECT_EQ(command->code(), codes::ROTATION_ACTIVE);
            EXPECT_EQ(command->length(), 1);
            states.push_back(command->data[0]);
        }
        return states;
    }
};

TEST_F(TelemetryStandTest, SteadySpeedStopsTheMotorOnTheTwelfthReport) {
    Stand::active = 1;
    for (int report = 1; report <= 11; ++report) {
        EXPECT_EQ(reportSpeed(1000), "") << "report " << report;
    }
    EXPECT_TRUE(queuedStates().empty());
    EXPECT_EQ(reportSpeed(1000), STOP_DELTA);
    EXPECT_EQ(queuedStates(), (std::vector<int>{1, 0}));
    EXPECT_EQ(Stand::ticksBetweenDelta, 0u);
    EXPECT_EQ(Stand::active, 1) << "the client's setting is not the guard's";
    // The condition persists: the guard fires again after another 11 steady reports.
    for (int report = 1; report <= 10; ++report) {
        EXPECT_EQ(reportSpeed(1000), "");
    }
    EXPECT_EQ(reportSpeed(1000), STOP_DELTA);
}

TEST_F(TelemetryStandTest, SpeedNearTheCommandStopsTheMotorOnTheEleventhReport) {
    Stand::rpm = 1000;
    for (int report = 1; report <= 10; ++report) {
        EXPECT_EQ(reportSpeed(950), "") << "report " << report;
    }
    EXPECT_EQ(reportSpeed(950), STOP_COMMAND);
    EXPECT_EQ(queuedStates(), (std::vector<int>{1, 0}));
    EXPECT_EQ(Stand::ticksBetweenRPMCommand, 0u);
    // The steady guard, one report behind, fires next.
    EXPECT_EQ(reportSpeed(950), STOP_DELTA);
}

TEST_F(TelemetryStandTest, BothGuardsOnOneReportQueueTwoSequencesSteadyFirst) {
    Stand::rpm = 1000;
    Stand::rpmCurrent = 1000;
    for (int report = 1; report <= 10; ++report) {
        EXPECT_EQ(reportSpeed(1000), "");
    }
    EXPECT_EQ(reportSpeed(1000), STOP_DELTA + STOP_COMMAND);
    EXPECT_EQ(queuedStates(), (std::vector<int>{1, 0, 1, 0}));
}

TEST_F(TelemetryStandTest, QualifyingRunIsBrokenByAnyOtherReport) {
    struct Case {
        const char* what;
        int32_t breaking;
    };
    // Against a commanded 1000 and a steady 1000.
    const Case cases[] = {{"a jump of 10", 1010}, {"a speed of 0", 0}, {"far above", 1100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Stand::restoreDefaults();
        Stand::rpm = 1000;
        Stand::rpmCurrent = 1000;
        for (int report = 1; report <= 5; ++report) {
            reportSpeed(1000);
        }
        reportSpeed(c.breaking);
        if (c.breaking == 1010) {
            EXPECT_EQ(Stand::ticksBetweenDelta, 0u);
            EXPECT_EQ(Stand::ticksBetweenRPMCommand, 6u) << "1010 is near 1000";
        } else {
            EXPECT_EQ(Stand::ticksBetweenDelta, 0u);
            EXPECT_EQ(Stand::ticksBetweenRPMCommand, 0u);
        }
    }
    Stand::restoreDefaults();
    Stand::rpm = 1000;
    reportSpeed(900);
    EXPECT_EQ(Stand::ticksBetweenRPMCommand, 0u) << "900 is not within 10 %";
    reportSpeed(901);
    EXPECT_EQ(Stand::ticksBetweenRPMCommand, 1u);
}

TEST_F(TelemetryStandTest, RotationActiveHoldsBothGuards) {
    EXPECT_EQ(feed(codes::ROTATION_ACTIVE, {1}), Messages{"device_active:1;"});
    Stand::rpm = 1000;
    for (int report = 1; report <= 20; ++report) {
        EXPECT_EQ(reportSpeed(1000), "");
        EXPECT_EQ(Stand::ticksBetweenDelta, 0u);
        EXPECT_EQ(Stand::ticksBetweenRPMCommand, 0u);
    }
    EXPECT_EQ(feed(codes::ROTATION_ACTIVE, {0}), Messages{"device_active:0;"});
    reportSpeed(1000);
    EXPECT_EQ(Stand::ticksBetweenDelta, 1u);
    EXPECT_EQ(Stand::ticksBetweenRPMCommand, 1u);
    EXPECT_TRUE(queuedStates().empty());
}

TEST_F(TelemetryStandTest, ExtremeSpeedsNeitherOverflowNorLookSteady) {
    Stand::rpmCurrent = INT32_MIN;
    Stand::ticksBetweenDelta = 5;
    reportSpeed(INT32_MAX);
    EXPECT_EQ(Stand::ticksBetweenDelta, 0u);
    Stand::rpm = INT32_MIN;
    reportSpeed(INT32_MAX);
    EXPECT_EQ(Stand::ticksBetweenRPMCommand, 0u);
}

TEST_F(TelemetryStandTest, TesterSpeedStandsInOnlyWithoutAStand) {
    channel.setDevice(known_devices::CRIT0304);
    Stand::rpm = 1000;
    for (int report = 1; report <= 15; ++report) {
        EXPECT_EQ(feed(codes::ROTATION_SPEED, speed(1000)), Messages{"device_rpm:1000;"});
    }
    EXPECT_EQ(Stand::rpmCurrent, 0);
    EXPECT_EQ(Stand::rpmFeedBack, 0);
    EXPECT_EQ(Stand::ticksBetweenDelta, 0u);
    EXPECT_EQ(Stand::ticksBetweenRPMCommand, 0u);
    EXPECT_TRUE(queuedStates().empty());

    Stand::standConnected = true;
    EXPECT_TRUE(feed(codes::ROTATION_SPEED, speed(1000)).empty());
    channel.setDevice(known_devices::FLOWMETER);
    Stand::standConnected = false;
    EXPECT_TRUE(feed(codes::ROTATION_SPEED, speed(1000)).empty());
    EXPECT_TRUE(feed(codes::ROTATION_ACTIVE, {1}).empty());
    EXPECT_EQ(Stand::activeFeedBack, 0);
}

TEST_F(TelemetryStandTest, TemperaturesTruncateTowardZero) {
    Bytes payload(11, 0xAB);
    util::putBE32(payload.data(), 3, 999);
    util::putBE32(payload.data(), 7, static_cast<uint32_t>(-150));
    channel.setDevice(known_devices::CRIT0304);
    EXPECT_EQ(feed(codes::TEMPERATURE, payload),
              (Messages{"device_temperature1:9;", "device_temperature2:-1;"}));
    util::putBE32(payload.data(), 3, 0x80000000u);
    util::putBE32(payload.data(), 7, 0x7FFFFFFFu);
    EXPECT_EQ(feed(codes::TEMPERATURE, payload),
              (Messages{"device_temperature1:-21474836;", "device_temperature2:21474836;"}));
}

TEST_F(TelemetryStandTest, StandStateIsDumpedAndQueued) {
    std::string printed;
    EXPECT_EQ(feed(codes::STAND_STATE, {7, 0, 0, 0, 3}, printed),
              (Messages{"device_tank:3;", "device_fan:7;"}));
    EXPECT_EQ(printed, "STAND STATE: 7 0 0 0 3 \n");
    EXPECT_EQ(feed(codes::STAND_STATE, {1, 2, 3, 4, 5, 255}, printed),
              (Messages{"device_tank:5;", "device_fan:1;"}));
    EXPECT_EQ(printed, "STAND STATE: 1 2 3 4 5 255 \n");
}

}  // namespace
