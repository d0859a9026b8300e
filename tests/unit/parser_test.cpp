#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/stand.h"
#include "client/tcpcommandparser.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/clientmessage.h"
#include "service/console.h"
#include "testsupport.h"

using testing_support::Bytes;
using testing_support::hex;

// The parser, the monitor and the publisher all read "key:value" through ClientMessage.
TEST(ParserClientMessage, KeyAndValue) {
    const struct {
        const char* text;
        const char* key;
        const char* value;
        bool hasValue;
    } cases[] = {
        {"a:b", "a", "b", true},
        {"a:", "a", "", true},
        {":b", "", "b", true},
        // A value keeps its further ':'; the readers stop at it.
        {"a:b:c", "a", "b:c", true},
        {"ab", "ab", "", false},
        {"", "", "", false},
        {"x:y", "x", "y", true},
        // As queued for the client: the ";" is not part of the value.
        {"device_rpm:1000;", "device_rpm", "1000", true},
        {"status;", "status", "", false},
        {"a:;", "a", "", true},
    };
    for (const auto& c : cases) {
        const ClientMessage message = ClientMessage::parse(c.text);
        EXPECT_EQ(message.key, c.key) << c.text;
        EXPECT_EQ(message.value, c.value) << c.text;
        EXPECT_EQ(message.hasValue, c.hasValue) << c.text;
    }
    EXPECT_EQ(ClientMessage::build("device_rpm", "5"), "device_rpm:5;");
    EXPECT_EQ(ClientMessage::deviceConnected(61), "device_connected:61;");
    EXPECT_EQ(ClientMessage::deviceDisconnected(12), "device_disconnected:12;");
}

class ParserTest : public ::testing::Test {
protected:
    // A board without threads; 255 leaves it unidentified.
    std::shared_ptr<Channel> board(const std::string& name, unsigned char device) {
        names.push_back(name);
        return testing_support::putIdleChannel(name, device);
    }

    void TearDown() override {
        {
            MutexLock lock(channelMapMutex);
            for (const auto& name : names) {
                channelMap.erase(name);
            }
        }
        CRIT::restoreDefaults();
        Stand::restoreDefaults();
    }

    // Parses and returns what went to standard output.
    static std::string parse(const std::string& message) {
        console::drain();
        testing::internal::CaptureStdout();
        TcpCommandParser::parse(message);
        console::drain();
        return testing::internal::GetCapturedStdout();
    }

    // Everything queued on the board, each as "code access length payload..." in hex.
    static std::vector<std::string> queued(Channel& channel) {
        std::vector<std::string> frames;
        while (auto command = channel.sendManager->popQueued()) {
            Bytes bytes = {command->code(), command->access(), command->length()};
            for (int i = 0; i < command->length(); ++i) {
                bytes.push_back(command->data[i]);
            }
            frames.push_back(hex(bytes));
        }
        return frames;
    }

    std::vector<std::string> names;
};

TEST_F(ParserTest, InjectorWidthReachesEveryTesterWithItsOwnCopy) {
    const std::string pulse = "0B 01 10 06 01 00 00 05 14 00 00 00 C8 00 01 86 A0 00 00";

    EXPECT_EQ(parse("injector_width:1500"), "");
    EXPECT_FALSE(TcpCommandParser::sended);
    EXPECT_EQ(CRIT::width, 1500u);

    auto first = board("ttyUSB0", known_devices::CRIT0304);
    parse("injector_width:1500");
    EXPECT_TRUE(TcpCommandParser::sended);
    EXPECT_EQ(queued(*first), std::vector<std::string>{pulse});

    auto second = board("ttyUSB1", known_devices::CRIT0303);
    parse("injector_width:1500:7");
    auto a = first->sendManager->popQueued();
    auto b = second->sendManager->popQueued();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(0, std::memcmp(a->data, b->data, 16));
    EXPECT_EQ(a->code(), codes::INJECTOR_PULSE);
    EXPECT_EQ(first->sendManager->queued() + second->sendManager->queued(), 0u);
}

// Messages and the settings they leave behind.
TEST_F(ParserTest, ValueConversions) {
    struct Case {
        std::string message;
        std::function<int64_t()> setting;
        int64_t expected;
    };
    auto interval = [] { return int64_t{CRIT::interval}; };
    auto width = [] { return int64_t{CRIT::width}; };
    const std::vector<Case> cases = {
        {"injector_interval:0.5", interval, 0},
        {"injector_interval:2.5", interval, 400000},
        {"injector_interval:3", interval, 333333},
        {"injector_interval:10", interval, 100000},
        {"injector_interval:-4", interval, 4294967296 - 250000},
        // 2^-16: the quotient 65,536,000,000 keeps its low 32 bits.
        {"injector_interval:1.52587890625e-5", interval, 65536000000 % 4294967296},
        {"injector_count:300", [] { return int64_t{CRIT::count}; }, 44},
        {"injector_count:-1", [] { return int64_t{CRIT::count}; }, 255},
        {"injector_i1:-2", [] { return int64_t{CRIT::injectorI1}; }, 24500},
        {"injector_i1:0", [] { return int64_t{CRIT::injectorI1}; }, 25000},
        {"delaymeter_sensitivity:1.3", [] { return int64_t{CRIT::delaySensitivity.load()}; },
         13000},
        {"regulator3_current:-0.0019", [] { return int64_t{CRIT::CRSDCurrent}; }, -1},
        {"injector_width:12abc", width, 12},
        {"injector_width:2.7", width, 2},
        {"injector_width: 1500\r", width, 1500},
        {"device_rpm:-1", [] { return int64_t{Stand::rpm}; }, -1},
        // A further ':' ends the number, as any other character does.
        {"injector_width:40:7", width, 40},
        {"injector_interval:2.5:1", interval, 400000},
        {"regulator1_current:1.5:9", [] { return int64_t{CRIT::CRSDCurrent}; }, 1500},
    };
    for (const auto& c : cases) {
        CRIT::restoreDefaults();
        EXPECT_EQ(parse(c.message), "") << c.message;
        EXPECT_EQ(c.setting(), c.expected) << c.message;
    }
}

// A refused value prints its reason on a line of its own, changes nothing and sends nothing.
TEST_F(ParserTest, RefusedValuesChangeNothing) {
    auto tester = board("ttyUSB0", known_devices::CRIT0304);
    auto meter = board("ttyUSB1", known_devices::DELAYMETER);
    auto stand = board("ttyUSB2", known_devices::STAND62);
    auto settings = [] {
        return std::vector<int64_t>{
            CRIT::interval,    CRIT::width,       CRIT::CRSDChannel,
            CRIT::CRSDCurrent, CRIT::CRSDDuty,    CRIT::injectorI1,
            CRIT::count,       Stand::rpm.load(), CRIT::delaySensitivity.load()};
    };
    const std::vector<int64_t> before = settings();
    const std::map<std::string, std::string> cases = {
        {"injector_interval:abc", "invalid value"},
        {"injector_interval:.5", "invalid value"},
        {"injector_interval:1e-300", "value out of range"},
        {"injector_interval:1e999", "value out of range"},
        {"injector_interval:3000000000", "value out of range"},
        {"injector_width:", "invalid value"},
        {"injector_width:-2147483649", "value out of range"},
        {"injector_width:99999999999999999999999", "value out of range"},
        {"injector_count:x1", "invalid value"},
        {"regulator3_current:1e300", "value out of range"},
        {"regulator2_duty_cycle:nan", "value out of range"},
        {"regulator2_current:inf", "value out of range"},
        {"regulator2_current:abc", "invalid value"},
        {"injector_i1:8589900", "value out of range"},
        {"delaymeter_sensitivity:-inf", "value out of range"},
        {"device_rpm:2147483648", "value out of range"},
        {"device_temperature:zz", "invalid value"},
    };
    for (const auto& [message, reason] : cases) {
        EXPECT_EQ(parse(message), "Parser error: " + reason + "\n") << message;
        EXPECT_FALSE(TcpCommandParser::sended) << message;
        EXPECT_EQ(settings(), before) << message;
    }
    EXPECT_TRUE(queued(*tester).empty());
    EXPECT_TRUE(queued(*meter).empty());
    EXPECT_TRUE(queued(*stand).empty());
}

// Each message reaches exactly the boards of its group, with these frames.
TEST_F(ParserTest, RoutingByBoardType) {
    const std::map<std::string, unsigned char> boards = {
        {"ttyACM0", known_devices::CRIT0303},  {"ttyACM1", known_devices::CRIT0304},
        {"ttyACM2", known_devices::STAND},     {"ttyACM3", known_devices::STAND62},
        {"ttyACM4", known_devices::FLOWMETER}, {"ttyACM5", known_devices::DELAYMETER},
        {"ttyACM6", known_devices::CRSD},      {"ttyACM7", known_devices::UNKNOWN},
    };
    std::map<std::string, std::shared_ptr<Channel>> channels;
    for (const auto& [name, device] : boards) {
        channels[name] = board(name, device);
    }
    using Frames = std::map<std::string, std::vector<std::string>>;
    const std::vector<std::pair<std::string, Frames>> cases = {
        {"device_temperature:25", {{"ttyACM3", {"2E 01 04 00 00 09 C4"}}}},
        {"device_temperature:-5", {{"ttyACM3", {"2E 01 04 FF FF FE 0C"}}}},
        // The set-point field wraps at 32 bits: 2,147,483,700 travels as 80 00 00 34.
        {"device_temperature:21474837", {{"ttyACM3", {"2E 01 04 80 00 00 34"}}}},
        {"device_rpm:1500",
         {{"ttyACM2", {"29 01 03 05 DC 00"}}, {"ttyACM3", {"29 01 03 05 DC 00"}}}},
        {"regulator2_duty_cycle:12.57",
         {{"ttyACM0", {"1E 01 0A 01 00 00 00 00 00 7D 07 D0 01"}},
          {"ttyACM1", {"1E 01 0A 01 00 00 00 00 00 7D 07 D0 01"}}}},
        {"injector_status:", {{"ttyACM0", {"0C 02 00"}}, {"ttyACM1", {"0C 02 00"}}}},
        {"flowmeter_reset", {}},
        {"flowmeter_reset:", {{"ttyACM4", {"38 01 00"}}}},
        {"delaymeter_reset:1", {{"ttyACM5", {"3C 01 00", "3C 01 01 3F"}}}},
        {"delaymeter_sensitivity:1.3", {{"ttyACM5", {"0D 01 05 00 32 C8 00 00"}}}},
        {" injector_width:1500", {}},
        {"\ninjector_width:1500", {}},
        {"unknown_key:1", {}},
    };
    for (const auto& [message, expected] : cases) {
        EXPECT_EQ(parse(message), "") << message;
        EXPECT_EQ(TcpCommandParser::sended, !expected.empty()) << message;
        for (const auto& [name, channel] : channels) {
            auto it = expected.find(name);
            EXPECT_EQ(queued(*channel),
                      it == expected.end() ? std::vector<std::string>{} : it->second)
                << message << " on " << name;
        }
    }
}

// Names are walked byte-wise: ttyUSB10 comes before ttyUSB2, and both receive.
TEST_F(ParserTest, WalksBoardsInNameOrder) {
    auto late = board("ttyUSB2", known_devices::STAND);
    auto early = board("ttyUSB10", known_devices::STAND);
    std::vector<std::string> order;
    for (const auto& entry : channelSnapshot()) {
        if (entry.second == late || entry.second == early) {
            order.push_back(entry.first);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"ttyUSB10", "ttyUSB2"}));
    parse("device_active:1");
    EXPECT_EQ(queued(*early), std::vector<std::string>{"2A 01 01 01"});
    EXPECT_EQ(queued(*late), std::vector<std::string>{"2A 01 01 01"});
}
