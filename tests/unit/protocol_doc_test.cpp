// The client protocol reference in the README is what the control software's developers code
// against: every key in its tables must be one the daemon knows, every key the daemon knows
// must be in the tables, and the boards listed for an inbound key must be the ones it reaches;
// benchctl's key table reads every value key the reference lists.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "bench/telemetry_crit.h"
#include "bench/telemetry_meters.h"
#include "client/tcpcommandparser.h"
#include "keytable.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/outbox.h"
#include "testsupport.h"

#ifndef BENCHD_README
#error "BENCHD_README must name the README to check"
#endif
#ifndef BENCHD_SOURCE_DIR
#error "BENCHD_SOURCE_DIR must name the daemon's source directory"
#endif

using testing_support::idleChannel;
using testing_support::putIdleChannel;
using testing_support::takeMessages;

namespace {

// One row of a README table: the keys of its first cell and every cell as written.
struct DocRow {
    std::vector<std::string> keys;
    std::vector<std::string> cells;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitCells(const std::string& line) {
    std::vector<std::string> cells;
    std::size_t start = line.find('|');
    while (start != std::string::npos) {
        std::size_t end = line.find('|', start + 1);
        if (end == std::string::npos) {
            break;
        }
        cells.push_back(line.substr(start + 1, end - start - 1));
        start = end;
    }
    return cells;
}

// The rows under a heading, up to the next heading. Keys are the `quoted` words of the first
// cell, with a trailing ":" dropped.
std::vector<DocRow> tableUnder(const std::string& heading) {
    std::istringstream readme(readFile(BENCHD_README));
    std::vector<DocRow> rows;
    bool inside = false;
    std::string line;
    const std::regex quoted("`([^`]*)`");
    while (std::getline(readme, line)) {
        if (line.rfind('#', 0) == 0) {
            inside = line.find(heading) != std::string::npos;
            continue;
        }
        if (!inside || line.rfind("| `", 0) != 0) {
            continue;
        }
        DocRow row;
        row.cells = splitCells(line);
        const std::string& first = row.cells.at(0);
        for (std::sregex_iterator it(first.begin(), first.end(), quoted), end; it != end; ++it) {
            std::string key = (*it)[1];
            if (!key.empty() && key.back() == ':') {
                key.pop_back();
            }
            row.keys.push_back(key);
        }
        rows.push_back(row);
    }
    return rows;
}

std::set<int> numbersIn(const std::string& text) {
    std::set<int> numbers;
    const std::regex number("[0-9]+");
    for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it) {
        numbers.insert(std::stoi(it->str()));
    }
    return numbers;
}

// Empty when both sets hold the same keys; otherwise what is missing on either side.
std::string difference(const std::set<std::string>& documented, const std::set<std::string>& code) {
    std::string text;
    for (const std::string& key : documented) {
        if (code.count(key) == 0) {
            text += " " + key + " is documented but unknown to the code;";
        }
    }
    for (const std::string& key : code) {
        if (documented.count(key) == 0) {
            text += " " + key + " is missing from the README;";
        }
    }
    return text;
}

const std::vector<unsigned char> BOARD_TYPES = {
    known_devices::DELAYMETER, known_devices::FLOWMETER, known_devices::CRIT0303,
    known_devices::CRIT0304,   known_devices::STAND,     known_devices::STAND62,
};

void restoreProcessState() {
    CRIT::restoreDefaults();
    Stand::restoreDefaults();
    MutexLock lock(decoderMutex);
    TelemetryCrit::resetCharts();
    TelemetryMeters::resetDelayFigures();
}

// A board of every type, plus one that has not identified itself, in channelMap.
class ProtocolDocInbound : public ::testing::Test {
protected:
    void SetUp() override {
        for (unsigned char device : BOARD_TYPES) {
            add("protodoc" + std::to_string(device), device);
        }
        add("protodoc-unknown", known_devices::UNKNOWN);
    }

    void TearDown() override {
        {
            MutexLock lock(channelMapMutex);
            for (const auto& entry : boards) {
                channelMap.erase(entry.first);
            }
        }
        restoreProcessState();
        takeMessages();
    }

    void add(const std::string& name, unsigned char device) {
        boards[name] = putIdleChannel(name, device);
    }

    // Parses one message; returns the types of the boards that got a command (255 for the
    // unidentified one) and what the parser printed.
    std::set<int> parse(const std::string& message, std::string& output) {
        console::drain();
        testing::internal::CaptureStdout();
        TcpCommandParser::parse(message);
        console::drain();
        output = testing::internal::GetCapturedStdout();
        std::set<int> reached;
        for (const auto& entry : boards) {
            bool got = false;
            while (entry.second->sendManager->popQueued()) {
                got = true;
            }
            if (got) {
                reached.insert(entry.second->getDevice());
            }
        }
        return reached;
    }

    std::map<std::string, std::shared_ptr<Channel>> boards;
};

TEST_F(ProtocolDocInbound, EveryDocumentedKeyReachesTheDocumentedBoards) {
    const std::vector<DocRow> rows = tableUnder("Keys the client sends");
    ASSERT_FALSE(rows.empty()) << "no inbound key table in " << BENCHD_README;
    for (const DocRow& row : rows) {
        ASSERT_GE(row.cells.size(), 5u) << row.cells.at(0);
        const std::string& value = row.cells[1];
        const bool valueRead = value.find("none") == std::string::npos;
        std::set<int> expected;
        for (int number : numbersIn(row.cells[4])) {
            for (unsigned char device : BOARD_TYPES) {
                if (number == device) {
                    expected.insert(number);
                }
            }
        }
        EXPECT_FALSE(expected.empty()) << row.cells[0] << ": the boards column names no board type";
        for (const std::string& key : row.keys) {
            std::string output;
            EXPECT_EQ(parse(key + (valueRead ? ":1" : ":"), output), expected) << key;
            EXPECT_EQ(output.find("Parser error"), std::string::npos) << key << ": " << output;
            if (valueRead) {
                // A key documented as taking a number must refuse something that is not one.
                EXPECT_TRUE(parse(key + ":x", output).empty()) << key;
                EXPECT_NE(output.find("Parser error"), std::string::npos) << key;
            }
            restoreProcessState();
        }
    }
}

TEST(ProtocolDocKeys, InboundTableListsExactlyTheParsersKeys) {
    std::set<std::string> documented;
    for (const DocRow& row : tableUnder("Keys the client sends")) {
        for (const std::string& key : row.keys) {
            EXPECT_TRUE(documented.insert(key).second) << key << " is documented twice";
        }
    }
    std::vector<std::string> names = TcpCommandParser::keyNames();
    EXPECT_EQ(difference(documented, std::set<std::string>(names.begin(), names.end())), "");
}

// Keys the daemon sends: whatever the report handlers queue for a report of any code from any
// kind of board, and the keys written out whole in the sources (the watcher's and the server's
// messages among them).
std::set<std::string> outboundKeysOfTheCode() {
    std::set<std::string> keys;

    // One payload that every handler reads in full: chart segments announce one point, so
    // that a single segment completes its chart; the version reply names an injector tester.
    unsigned char payload[100];
    for (std::size_t i = 0; i < sizeof payload; ++i) {
        payload[i] = static_cast<unsigned char>(i + 1);
    }
    payload[0] = 0;
    payload[1] = 0;
    payload[2] = 1;
    payload[3] = known_devices::CRIT0304;

    std::vector<unsigned char> devices = BOARD_TYPES;
    devices.push_back(known_devices::UNKNOWN);
    console::drain();
    testing::internal::CaptureStdout();
    for (unsigned char device : devices) {
        for (int code = 0; code < 256; ++code) {
            auto channel = idleChannel(device);
            dispatch(*channel, Command::makeData(static_cast<unsigned char>(code), ACCESS_COMMAND,
                                                 payload, sizeof payload));
            for (const std::string& message : takeMessages()) {
                keys.insert(message.substr(0, message.find(':')));
            }
            restoreProcessState();
        }
    }
    console::drain();
    testing::internal::GetCapturedStdout();

    // A literal that is a whole key with its ":", such as "device_disconnected:", or a key
    // given to ClientMessage::build.
    const std::regex literal("\"([a-z][a-z0-9_]*):\"|build\\(\"([a-z][a-z0-9_]*)\"");
    int units = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(BENCHD_SOURCE_DIR)) {
        if (entry.path().extension() != ".cpp") {
            continue;
        }
        ++units;
        const std::string source = readFile(entry.path().string());
        for (std::sregex_iterator it(source.begin(), source.end(), literal), end; it != end; ++it) {
            keys.insert((*it)[1].matched ? (*it)[1] : (*it)[2]);
        }
    }
    EXPECT_GT(units, 0) << "no sources in " << BENCHD_SOURCE_DIR;
    return keys;
}

// The keys only observers on the monitor port get (their status block and the monitor's own
// notices) have a table of their own.
bool observerOnly(const std::string& key) {
    return key.rfind("status_", 0) == 0 || key.rfind("monitor_", 0) == 0;
}

std::set<std::string> documentedKeys(const std::string& heading) {
    std::set<std::string> documented;
    for (const DocRow& row : tableUnder(heading)) {
        for (const std::string& key : row.keys) {
            EXPECT_TRUE(documented.insert(key).second) << key << " is documented twice";
        }
    }
    EXPECT_FALSE(documented.empty()) << "no table under " << heading << " in " << BENCHD_README;
    return documented;
}

TEST(ProtocolDocKeys, OutboundTablesListExactlyTheKeysTheDaemonSends) {
    std::set<std::string> toEveryone;
    std::set<std::string> toObservers;
    for (const std::string& key : outboundKeysOfTheCode()) {
        (observerOnly(key) ? toObservers : toEveryone).insert(key);
    }
    EXPECT_EQ(difference(documentedKeys("Keys the daemon sends"), toEveryone), "");
    EXPECT_EQ(difference(documentedKeys("Keys only observers get"), toObservers), "");

    // benchctl reads every value key through its key table (the board announcements are
    // events, shown as the boards identified).
    std::set<std::string> values = documentedKeys("Keys the daemon sends");
    values.erase("device_connected");
    values.erase("device_disconnected");
    std::set<std::string> shown;
    for (const KeyInfo& info : keyTable()) {
        EXPECT_TRUE(shown.insert(info.key).second) << info.key << " is in the key table twice";
    }
    EXPECT_EQ(difference(values, shown), "");
}

}  // namespace
