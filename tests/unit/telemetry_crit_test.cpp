// Injector tester reports: pressures, status, regulators, calibration and the six charts.

#include <string>
#include <vector>

#include "decoder_fixture.h"
#include "protocol/codes.h"

namespace {

using Bytes = std::vector<unsigned char>;

class TelemetryCritTest : public DecoderFixture {
protected:
    // A chart segment: switch byte, expected count, samples.
    static Bytes segment(unsigned char switchByte, uint16_t count,
                         const std::vector<uint16_t>& samples) {
        Bytes payload = {switchByte, static_cast<unsigned char>(count >> 8),
                         static_cast<unsigned char>(count)};
        for (uint16_t sample : samples) {
            payload.push_back(static_cast<unsigned char>(sample >> 8));
            payload.push_back(static_cast<unsigned char>(sample));
        }
        return payload;
    }

    // A calibration report (code 16).
    void calibrate(uint16_t hy, uint16_t l, uint16_t hx, uint16_t offset) {
        Bytes payload(22, 0);
        util::putBE16(payload.data(), 0, hy);
        util::putBE16(payload.data(), 2, l);
        util::putBE16(payload.data(), 4, hx);
        util::putBE16(payload.data(), 20, offset);
        EXPECT_TRUE(feed(codes::OSC_CALIBRATION, payload).empty());
    }
};

TEST_F(TelemetryCritTest, PressuresFollowTheReportingBoard) {
    struct Case {
        unsigned char device;
        Bytes payload;
        Messages expected;
    };
    const Case cases[] = {
        {34, {9, 0x03, 0xE8, 0x07, 0xD0}, {"pressure_pressure:1000;", "pressure_max:2000;"}},
        {33, {0, 0xFF, 0xFF, 0x00, 0x00}, {"pressure_pressure:65535;", "pressure_max:0;"}},
        {61, {9, 9, 0xFF, 0x38}, {"device_pressure1:0.00;"}},
        {62, {0, 0, 0x01, 0xF4}, {"device_pressure1:5.00;"}},
        {61, {0, 0, 0x7F, 0xFF}, {"device_pressure1:327.67;"}},
        {12, {0, 0x03, 0xE8, 0x07, 0xD0}, {}},
        {255, {0, 0x03, 0xE8, 0x07, 0xD0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.device));
        channel.setDevice(c.device);
        EXPECT_EQ(feed(codes::PRESSURES, c.payload), c.expected);
    }
}

TEST_F(TelemetryCritTest, InjectorStatusFromAnyBoard) {
    EXPECT_EQ(feed(codes::INJECTOR_STATUS, {7}), Messages{"injector_status:7;"});
}

TEST_F(TelemetryCritTest, RegulatorsQueueNineMessagesInOrder) {
    EXPECT_EQ(
        feed(codes::REGULATOR_STATUS,
             {1, 0x03, 0xE8, 0x00, 0x7D, 0, 0, 0, 0, 0, 2, 0x13, 0x88, 0x0F, 0xA0}),
        (Messages{"regulator1_active:1;", "regulator1_current:1.00;",
                  "regulator1_duty_cycle:12.50;", "regulator2_active:0;",
                  "regulator2_current:0.00;", "regulator2_duty_cycle:0.00;", "regulator3_active:2;",
                  "regulator3_current:5.00;", "regulator3_duty_cycle:400.00;"}));
    EXPECT_EQ(feed(codes::REGULATOR_STATUS, Bytes(15, 0)).size(), 9u);
}

TEST_F(TelemetryCritTest, OneSegmentChart) {
    std::string printed;
    EXPECT_EQ(feed(codes::CHART_FIRST + 1, segment(0, 3, {1500, 750, 0}), printed),
              Messages{"injector_chart2:4.00,2.00,0.00;"});
    EXPECT_EQ(printed, "");
}

TEST_F(TelemetryCritTest, ChartCompletesMidSegmentAndDropsTheRest) {
    EXPECT_TRUE(feed(codes::CHART_FIRST + 2, segment(0, 5, {1500, 1500, 1500})).empty());
    EXPECT_EQ(feed(codes::CHART_FIRST + 2, segment(1, 5, {750, 750, 3000})),
              Messages{"injector_chart3:4.00,4.00,4.00,2.00,2.00;"});
    // The dropped sample does not open the next chart.
    EXPECT_EQ(feed(codes::CHART_FIRST + 2, segment(1, 1, {0})), Messages{"injector_chart3:0.00;"});
}

TEST_F(TelemetryCritTest, FirstSegmentMidChartDropsTheBrokenChartAndTheNextArrivesWhole) {
    // The rest of a chart lost (bad CRCs): the next one starts afresh, and so does the one after.
    EXPECT_TRUE(feed(codes::CHART_FIRST + 3, segment(0, 5, {1500, 1500})).empty());
    for (int chart = 0; chart < 2; ++chart) {
        EXPECT_TRUE(feed(codes::CHART_FIRST + 3, segment(0, 5, {750, 750, 750})).empty());
        EXPECT_EQ(feed(codes::CHART_FIRST + 3, segment(1, 5, {1500, 1500})),
                  Messages{"injector_chart4:2.00,2.00,2.00,4.00,4.00;"});
    }
}

TEST_F(TelemetryCritTest, CalibrationAppliesToAChartBeingCollected) {
    std::string printed;
    EXPECT_TRUE(feed(codes::CHART_FIRST, segment(0, 2, {1500}), printed).empty());
    EXPECT_EQ(printed, "BUFF 0: Switch: 0 Count: 2 \n");
    calibrate(2, 0, 1, 0);
    EXPECT_EQ(feed(codes::CHART_FIRST, segment(1, 2, {1500}), printed),
              Messages{"injector_chart:4.00,8.00;"});
    EXPECT_EQ(printed, "BUFF 0: Switch: 1 Count: 2 \n");
}

TEST_F(TelemetryCritTest, SampleConversionEdges) {
    struct Case {
        const char* what;
        uint16_t hy, l, hx, offset;
        uint16_t raw;
        const char* text;
    };
    const Case cases[] = {
        {"initial scale", 1, 0, 1, 0, 1, "0.00"},
        {"small negative keeps its sign", 1, 0, 1, 1, 0, "-0.00"},
        {"l cancels out", 1, 300, 1, 0, 1500, "4.00"},
        {"quotient truncates (3.8 to 3)", 19, 0, 10, 0, 1, "0.00"},
        {"sample product wraps", 65535, 0, 1, 0, 65535, "-349.52"},
        {"offset product wraps", 65535, 0, 1, 65535, 0, "174.76"},
        {"no divisor", 5, 0, 0, 3, 1500, "0.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        calibrate(c.hy, c.l, c.hx, c.offset);
        EXPECT_EQ(feed(codes::CHART_FIRST + 4, segment(0, 1, {c.raw})),
                  Messages{std::string("injector_chart5:") + c.text + ";"});
    }
    // The one 32-bit quotient that does not fit wraps instead of trapping.
    CRIT::offset = 0;
    CRIT::hy = 32768;
    CRIT::hx = -1;
    EXPECT_EQ(util::get_formatted_value(TelemetryCrit::convertSample(32768)), "-2863311.53");
}

TEST_F(TelemetryCritTest, SamplesWithoutDivisorStillCount) {
    calibrate(1, 0, 0, 0);
    EXPECT_EQ(feed(codes::CHART_LAST, segment(0, 2, {1500, 9})),
              Messages{"injector_chart6:0.00,0.00;"});
}

TEST_F(TelemetryCritTest, OddLastByteIsNotASample) {
    Bytes payload = segment(0, 2, {1500});
    payload.push_back(0x05);  // its partner would lie beyond the payload
    EXPECT_TRUE(feed(codes::CHART_FIRST + 1, payload).empty());
    EXPECT_EQ(feed(codes::CHART_FIRST + 1, segment(1, 2, {750})),
              Messages{"injector_chart2:4.00,2.00;"});
}

TEST_F(TelemetryCritTest, ChartThatCanNeverCompleteIsAbandoned) {
    // An expected count of 0 is never reached; the collected text must not grow forever.
    const std::vector<uint16_t> samples(126, 1500);
    for (int i = 0; i < 0x10000 / 126 + 1; ++i) {
        EXPECT_TRUE(feed(codes::CHART_FIRST + 3, segment(1, 0, samples)).empty());
    }
    EXPECT_EQ(feed(codes::CHART_FIRST + 3, segment(0, 1, {750})),
              Messages{"injector_chart4:2.00;"});
}

TEST_F(TelemetryCritTest, ChartsAreAssembledIndependentlyAndPerBoard) {
    EXPECT_TRUE(feed(codes::CHART_FIRST + 1, segment(0, 2, {1500})).empty());
    EXPECT_TRUE(feed(codes::CHART_FIRST + 2, segment(0, 2, {750})).empty());
    EXPECT_EQ(feed(codes::CHART_FIRST + 2, segment(1, 2, {0})),
              Messages{"injector_chart3:2.00,0.00;"});
    EXPECT_EQ(feed(codes::CHART_FIRST + 1, segment(1, 2, {0})),
              Messages{"injector_chart2:4.00,0.00;"});

    // Two testers streaming chart 1 at once: each completes its own.
    Channel other(FileDescriptor(),
                  testing_support::boardOptions(false, std::chrono::milliseconds(0)));
    EXPECT_TRUE(feed(codes::CHART_FIRST, segment(0, 2, {1500})).empty());
    dispatch(other, report(codes::CHART_FIRST, segment(0, 2, {750})));
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(feed(codes::CHART_FIRST, segment(1, 2, {0})), Messages{"injector_chart:4.00,0.00;"});
    dispatch(other, report(codes::CHART_FIRST, segment(1, 2, {1500})));
    EXPECT_EQ(takeMessages(), Messages{"injector_chart:2.00,4.00;"});
}

}  // namespace
