// Flowmeter flow and calibration, delay meter summary, leakage test progress.

#include <string>
#include <vector>

#include "decoder_fixture.h"
#include "protocol/codes.h"

namespace {

using Bytes = std::vector<unsigned char>;

class TelemetryMetersTest : public DecoderFixture {
protected:
    // Ten flow records of (divisor, dividend); the first ones from `records`, the rest 4/1000.
    static Bytes flow(const std::vector<std::pair<unsigned char, uint64_t>>& records) {
        Bytes payload(90);
        for (int k = 0; k < 10; ++k) {
            const auto record = k < static_cast<int>(records.size())
                                    ? records[k]
                                    : std::pair<unsigned char, uint64_t>{4, 1000};
            payload[9 * k] = record.first;
            util::putBE32(payload.data(), 9 * k + 1, static_cast<uint32_t>(record.second >> 32));
            util::putBE32(payload.data(), 9 * k + 5, static_cast<uint32_t>(record.second));
        }
        return payload;
    }

    // Ten calibration pairs of (denominator, numerator); the rest 4/1.
    static Bytes calibration(const std::vector<std::pair<int32_t, int32_t>>& pairs) {
        Bytes payload(80);
        for (int k = 0; k < 10; ++k) {
            const auto pair =
                k < static_cast<int>(pairs.size()) ? pairs[k] : std::pair<int32_t, int32_t>{4, 1};
            util::putBE32(payload.data(), 8 * k, static_cast<uint32_t>(pair.first));
            util::putBE32(payload.data(), 8 * k + 4, static_cast<uint32_t>(pair.second));
        }
        return payload;
    }

    static Bytes delay(int32_t total, uint16_t count, int32_t minimum, int32_t maximum) {
        Bytes payload(15, 0x5A);
        util::putBE32(payload.data(), 1, static_cast<uint32_t>(total));
        util::putBE16(payload.data(), 5, count);
        util::putBE32(payload.data(), 7, static_cast<uint32_t>(minimum));
        util::putBE32(payload.data(), 11, static_cast<uint32_t>(maximum));
        return payload;
    }
};

TEST_F(TelemetryMetersTest, FlowDividesEachRecord) {
    EXPECT_EQ(feed(codes::FLOW, flow({})),
              Messages{"flowmeter_flow:250,250,250,250,250,250,250,250,250,250;"});
    EXPECT_EQ(feed(codes::FLOW, flow({{0, 7}, {0, 0}, {1, UINT64_MAX}, {255, 1000}, {3, 1000}})),
              Messages{"flowmeter_flow:7,0,18446744073709551615,3,333,250,250,250,250,250;"});
}

TEST_F(TelemetryMetersTest, CalibrationRatios) {
    EXPECT_EQ(feed(codes::FLOW_CALIBRATION, calibration({})),
              Messages{"flowmeter_calibrate:250.00,250.00,250.00,250.00,250.00,250.00,250.00,"
                       "250.00,250.00,250.00;"});
    // A zero denominator spoils only its own value.
    EXPECT_EQ(feed(codes::FLOW_CALIBRATION, calibration({{0, 1}, {0, -1}, {-3, 1}, {1, 0}})),
              Messages{"flowmeter_calibrate:inf,-inf,-333.33,0.00,250.00,250.00,250.00,250.00,"
                       "250.00,250.00;"});
    const Messages nan = feed(codes::FLOW_CALIBRATION, calibration({{0, 0}}));
    ASSERT_EQ(nan.size(), 1u);
    EXPECT_EQ(nan[0].rfind("flowmeter_calibrate:nan,250.00,", 0), 0u) << nan[0];
}

TEST_F(TelemetryMetersTest, DelayMeterSummary) {
    struct Case {
        int32_t total;
        uint16_t count;
        int32_t minimum, maximum;
        const char* expected;
    };
    const Case cases[] = {
        {1000, 3, -5, 400, "delay_meter:0,400,333;"},
        {1000, 0, 7, 400, "delay_meter:7,400,0;"},
        {-1000, 3, 0, -2, "delay_meter:0,-2,-333;"},
        {INT32_MIN, 1, INT32_MAX, INT32_MIN, "delay_meter:2147483647,-2147483648,-2147483648;"},
        {INT32_MIN, 65535, 1, 1, "delay_meter:1,1,-32768;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(feed(codes::DELAY_FIGURES, delay(c.total, c.count, c.minimum, c.maximum)),
                  Messages{c.expected});
    }
    EXPECT_EQ(TelemetryMeters::delayCount, 65535);
}

TEST_F(TelemetryMetersTest, LeakageProgressIsDumpedAndQueued) {
    std::string printed;
    EXPECT_EQ(feed(codes::LEAKAGE, {1, 2, 0x00, 0x00, 0x01, 0x2C}, printed),
              Messages{"leakage_time_passed:300;"});
    EXPECT_EQ(printed, "HYDRO: 1 2 0 0 1 44 \n");
    EXPECT_EQ(feed(codes::LEAKAGE, {0, 0, 0x80, 0x00, 0x00, 0x00, 9}, printed),
              Messages{"leakage_time_passed:-2147483648;"});
    EXPECT_EQ(printed, "HYDRO: 0 0 128 0 0 0 9 \n");
    EXPECT_EQ(feed(codes::LEAKAGE, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, printed),
              Messages{"leakage_time_passed:-1;"});
}

}  // namespace
