// The fleet publisher's JSON payloads: byte for byte what the dashboards and the README's
// examples read for ordinary values, and valid JSON whatever a port's name or the client's
// address holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fleet/publisher.h"

namespace {

PortStatus port(std::string name, bool identified,
                std::vector<std::pair<const char*, uint64_t>> counters = {}) {
    return {std::move(name), static_cast<unsigned char>(identified ? 62 : 0), identified,
            identified, std::move(counters)};
}

}  // namespace

TEST(FleetPayloads, OrdinaryValuesByteForByte) {
    struct Case {
        const char* what;
        std::string payload;
        const char* expected;
    };
    const Case cases[] = {
        {"an identified board, its counters' names as keys",
         FleetPublisher::boardPayload(
             port("ttyUSB0", true,
                  {{"frames", 11623}, {"crc failures", 0}, {"frames dropped", UINT64_MAX}})),
         "{\"port\":\"ttyUSB0\",\"device\":62,\"identified\":true,\"low_latency\":true,"
         "\"counters\":{\"frames\":11623,\"crc_failures\":0,"
         "\"frames_dropped\":18446744073709551615}}"},
        {"a board not identified yet, no counters",
         FleetPublisher::boardPayload(port("ttyS0", false)),
         "{\"port\":\"ttyS0\",\"device\":null,\"identified\":false,\"low_latency\":false,"
         "\"counters\":{}}"},
        {"a client connected", FleetPublisher::statusPayload(3605, "192.168.1.20:50312", 0),
         "{\"version\":\"" BENCHD_VERSION "\",\"uptime\":3605,\"client_connected\":true,"
         "\"client\":\"192.168.1.20:50312\",\"telemetry_dropped\":0}"},
        {"no client", FleetPublisher::statusPayload(0, "", UINT64_MAX),
         "{\"version\":\"" BENCHD_VERSION "\",\"uptime\":0,\"client_connected\":false,"
         "\"client\":\"\",\"telemetry_dropped\":18446744073709551615}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.payload, c.expected) << c.what;
    }
}

// Port names come from the device directory and the client's address from its socket: quotes,
// backslashes and control characters must still leave JSON a dashboard can parse, and bytes
// that are not UTF-8 must neither break it nor stop the publisher.
TEST(FleetPayloads, AwkwardTextStillGivesValidJson) {
    struct Case {
        std::string text;
        std::string parsed;  // what the text reads as once parsed back
    };
    const Case cases[] = {
        {"tty\"USB0\"", "tty\"USB0\""},
        {"tty\\USB\\", "tty\\USB\\"},
        {"a\nb\tc\rd\be\ff", "a\nb\tc\rd\be\ff"},
        {std::string("\x01\x1f\x7f", 3), std::string("\x01\x1f\x7f", 3)},
        {std::string("nul\0here", 8), std::string("nul\0here", 8)},
        {"t\xc3\xa9st", "t\xc3\xa9st"},
        {"bad\xff utf-8", "bad\xef\xbf\xbd utf-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string board = FleetPublisher::boardPayload(port(c.text, true, {{"frames", 1}}));
        const nlohmann::json boardJson = nlohmann::json::parse(board, nullptr, false);
        ASSERT_FALSE(boardJson.is_discarded()) << board;
        EXPECT_EQ(boardJson.at("port"), c.parsed);
        EXPECT_EQ(boardJson.at("device"), 62);
        EXPECT_EQ(boardJson.at("counters").at("frames"), 1);

        const std::string status = FleetPublisher::statusPayload(5, c.text, 2);
        const nlohmann::json statusJson = nlohmann::json::parse(status, nullptr, false);
        ASSERT_FALSE(statusJson.is_discarded()) << status;
        EXPECT_EQ(statusJson.at("client"), c.parsed);
        EXPECT_EQ(statusJson.at("client_connected"), true);
        EXPECT_EQ(statusJson.at("telemetry_dropped"), 2);
    }
}
