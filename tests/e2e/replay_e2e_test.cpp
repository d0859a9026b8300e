// Recorded sessions as regression tests: every NAME.pcap in tests/captures is played back by
// `benchsim --replay` to the real daemon, a client sends the captured client messages at their
// captured times, and what the client receives, in its normal form, must equal NAME.expected.
// With BENCHD_WRITE_EXPECTED=1 in the environment the test writes NAME.expected instead, for a
// human to check (CONTRIBUTING.md, "Capture regression tests").
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "capture/record.h"
#include "feedclient.h"
#include "protocol/codes.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

// BENCHD_CAPTURES in the environment points the suite at another folder of captures.
std::string capturesDir() {
    if (const char* dir = std::getenv("BENCHD_CAPTURES"); dir && *dir) {
        return dir;
    }
#ifdef BENCHD_CAPTURES_DIR
    return BENCHD_CAPTURES_DIR;
#else
    return "tests/captures";
#endif
}

std::vector<std::string> captureNames() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(capturesDir().c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            const std::string file = entry->d_name;
            if (file.size() > 5 && file.compare(file.size() - 5, 5, ".pcap") == 0) {
                names.push_back(file.substr(0, file.size() - 5));
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The client's messages in a form that does not depend on how the boards' lines interleave:
// announcements per board type in order (a repeat in a row counts once: a client that connects
// while a board identifies may hear of it twice), then every other key with its values in the
// order they came, keys sorted. No key the client receives carries a wall-clock value.
std::string normalForm(const std::vector<std::string>& messages) {
    std::map<std::string, std::vector<std::string>> announcements;
    std::map<std::string, std::vector<std::string>> values;
    for (std::string message : messages) {
        if (!message.empty() && message.back() == ';') {
            message.pop_back();
        }
        const std::size_t colon = message.find(':');
        const std::string key = message.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : message.substr(colon + 1);
        if (key == "device_connected" || key == "device_disconnected") {
            const std::string event = key == "device_connected" ? "connected" : "disconnected";
            std::vector<std::string>& events = announcements[value];
            if (events.empty() || events.back() != event) {
                events.push_back(event);
            }
        } else {
            values[key].push_back(value);
        }
    }
    std::ostringstream out;
    for (const auto& [board, events] : announcements) {
        out << "board " << board << ":";
        for (const std::string& event : events) {
            out << " " << event;
        }
        out << "\n";
    }
    for (const auto& [key, list] : values) {
        for (const std::string& value : list) {
            out << key << ": " << value << "\n";
        }
    }
    return out.str();
}

// The expected text without its comment lines (those starting with '#').
std::string readExpected(const std::string& path) {
    std::ifstream in(path);
    std::string line, text;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '#') {
            text += line + "\n";
        }
    }
    return text;
}

// What the captured client said, when (since the capture began, which the recording script
// makes its connection), and how many boards it had heard of by then.
struct ClientLine {
    int64_t atUs;
    std::string text;
    std::size_t connectedBefore;
};

struct Session {
    std::vector<ClientLine> client;
    std::vector<std::string> ports;
    int64_t lengthUs = 0;
};

Session readSession(const std::string& path) {
    std::vector<capture::Record> records;
    std::string error;
    EXPECT_TRUE(capture::readAll(path, records, error)) << error;
    Session session;
    if (records.empty()) {
        return session;
    }
    const int64_t start = records.front().microseconds;
    std::size_t connected = 0;
    for (const capture::Record& record : records) {
        session.lengthUs = std::max(session.lengthUs, record.microseconds - start);
        const std::string text(record.payload.begin(), record.payload.end());
        if (record.kind != capture::Kind::Text) {
            if (!record.port.empty() && std::find(session.ports.begin(), session.ports.end(),
                                                  record.port) == session.ports.end()) {
                session.ports.push_back(record.port);
            }
        } else if (record.direction == capture::Direction::ToClient) {
            connected += text.rfind("device_connected:", 0) == 0 ? 1 : 0;
        } else if (record.direction == capture::Direction::FromClient) {
            session.client.push_back({record.microseconds - start, text, connected});
        }
    }
    return session;
}

class ReplayE2e : public ::testing::TestWithParam<std::string> {};

TEST_P(ReplayE2e, ClientHearsWhatTheCaptureSays) {
    const std::string base = capturesDir() + "/" + GetParam();
    const Session session = readSession(base + ".pcap");
    ASSERT_FALSE(session.ports.empty()) << base << ".pcap holds no board";

    TempDir dir;
    Process sim(
        {sim_e2e::SimBench::tool("benchsim"), "--dir", dir.path(), "--replay", base + ".pcap"});
    ASSERT_TRUE(sim.waitForOut("plugged in", 10s)) << sim.out() << sim.err();
    uint16_t port = 0;
    std::unique_ptr<Process> daemon = startDaemon({"--dev-dir", dir.path()}, port);
    fault_e2e::FeedClient client(port);
    ASSERT_TRUE(client.connected());
    const auto connectedAt = std::chrono::steady_clock::now();

    for (const ClientLine& line : session.client) {
        // At its time, and not before the boards it had heard of are announced here too.
        std::this_thread::sleep_until(connectedAt + std::chrono::microseconds(line.atUs));
        EXPECT_TRUE(line.connectedBefore == 0 ||
                    client.waitForCount("device_connected", line.connectedBefore, 10s))
            << line.text;
        client.send(line.text + ";");
    }

    const auto playTime = std::chrono::microseconds(session.lengthUs) + 30s;
    ASSERT_EQ(sim.wait(std::chrono::duration_cast<std::chrono::milliseconds>(playTime)), 0)
        << sim.out() << sim.err();
    EXPECT_NE(sim.out().find("replay: played out"), std::string::npos) << sim.out();
    // Its boards are unplugged: once the daemon has let go of every port it opened, nothing
    // more comes.
    for (const std::string& name : session.ports) {
        EXPECT_TRUE(waitUntil(
            [&] {
                const std::string out = daemon->out();
                return occurrences(out, "Device disconnected: " + name + "\n") >=
                       occurrences(out, "Connect to: [" + dir.path() + "/" + name + "]");
            },
            10s))
            << name << "\n"
            << daemon->out();
    }

    if (const char* write = std::getenv("BENCHD_WRITE_EXPECTED"); write && *write == '1') {
        // The last messages on their way: until the count holds still for a moment.
        std::size_t seen = client.size();
        for (int i = 0; i < 20 && waitUntil([&] { return client.size() != seen; }, 300ms); ++i) {
            seen = client.size();
        }
        std::ofstream out(base + ".expected");
        out << "# " << GetParam() << ".pcap replayed to benchd: what the client hears, in normal "
            << "form (CONTRIBUTING.md)\n"
            << normalForm(client.messages());
        return;
    }
    const std::string expected = readExpected(base + ".expected");
    ASSERT_FALSE(expected.empty()) << base << ".expected is missing or empty";
    // The last messages may still be on their way to the client.
    waitUntil([&] { return normalForm(client.messages()) == expected; }, 5s);
    EXPECT_EQ(normalForm(client.messages()), expected) << daemon->out();
}

// The host's end of a replayed board's line, opened through its link.
class HostLine {
public:
    explicit HostLine(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    bool valid() const { return fd_.valid(); }
    void write(const Bytes& bytes) const {
        ASSERT_EQ(::write(fd_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Everything read so far, reading on until `count` bytes came or the timeout passed.
    const Bytes& readAtLeast(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        waitUntil(
            [&] {
                unsigned char buffer[256];
                ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
                if (n > 0) {
                    received_.insert(received_.end(), buffer, buffer + n);
                }
                return received_.size() >= count;
            },
            timeout);
        return received_;
    }
    void clear() { received_.clear(); }

private:
    FileDescriptor fd_;
    Bytes received_;
};

Bytes join(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

capture::Record record(int64_t ms, capture::Direction direction, capture::Kind kind,
                       const Bytes& payload = {}, uint8_t flags = 0) {
    capture::Record r;
    r.microseconds = 1700000000000000 + ms * 1000;
    r.direction = direction;
    r.kind = kind;
    r.flags = flags;
    r.port = direction == capture::Direction::FromClient ? "" : "ttyUSB0";
    r.payload = payload;
    return r;
}

// One port, opened, closed and opened again: the board waits for the host's first frame, then
// plays what was captured at its pace (noise and a bad CRC as they were, its own ACKs left
// out), acknowledges the host live, is unplugged and plugged in again, and falls quiet after
// its last captured word.
TEST(ReplayE2e, PlaysABoardsLineAnchoredOnTheHostsFirstFrame) {
    using capture::Direction;
    using capture::Kind;
    const Bytes noise{0x11, 0x22};
    const Bytes reply = dataFrame(0, codes::VERSION, 1, {3, 4, 1, 12});
    Bytes broken = dataFrame(1, codes::FLOW, 1, {1, 2, 3});
    broken.back() ^= 0x01;
    const Bytes later = dataFrame(0, codes::VERSION, 1, {3, 4, 1, 12});
    TempDir dir;
    const std::string file = dir.path() + "/one.pcap";
    {
        capture::PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(file, error)) << error;
        for (const capture::Record& r : {
                 record(0, Direction::Daemon, Kind::PortOpened),
                 record(10, Direction::FromBoard, Kind::Noise, noise),
                 record(100, Direction::ToBoard, Kind::DataFrame,
                        dataFrame(0, codes::VERSION, 2, {})),
                 record(120, Direction::FromBoard, Kind::AckFrame, ackFrame(0)),
                 record(130, Direction::FromBoard, Kind::DataFrame, reply),
                 record(300, Direction::FromBoard, Kind::DataFrame, broken, capture::FLAG_CRC_BAD),
                 record(800, Direction::Daemon, Kind::PortClosed),
                 record(1000, Direction::Daemon, Kind::PortOpened),
                 record(1100, Direction::ToBoard, Kind::DataFrame,
                        dataFrame(5, codes::VERSION, 2, {})),
                 record(1150, Direction::FromBoard, Kind::DataFrame, later),
                 record(2500, Direction::FromClient, Kind::Text, Bytes{'x', ':', '1'}),
             }) {
            ASSERT_TRUE(writer.write(r, error)) << error;
        }
    }
    const std::string link = dir.path() + "/ttyUSB0";
    auto present = [&] { return ::access(link.c_str(), F_OK) == 0; };
    Process sim({sim_e2e::SimBench::tool("benchsim"), "--dir", dir.path(), "--replay", file});
    ASSERT_TRUE(waitUntil(present)) << sim.out() << sim.err();

    HostLine host(link);
    ASSERT_TRUE(host.valid());
    EXPECT_TRUE(host.readAtLeast(1, 200ms).empty()) << "nothing before the host asks";
    // Two frames in one write: both are acknowledged before anything is played.
    host.write(join({dataFrame(7, codes::VERSION, 2, {}), dataFrame(8, codes::SCHEDULE, 1, {0})}));
    Bytes expected = join({ackFrame(7), ackFrame(8), noise, reply, broken});
    EXPECT_EQ(hex(host.readAtLeast(expected.size())), hex(expected));

    EXPECT_TRUE(waitUntil([&] { return !present(); })) << "unplugged when the port closed";
    ASSERT_TRUE(waitUntil(present)) << "plugged in again";
    HostLine again(link);
    again.write(dataFrame(0, codes::VERSION, 2, {}));
    expected = join({ackFrame(0), later});
    EXPECT_EQ(hex(again.readAtLeast(expected.size())), hex(expected));
    // Past its last word the board is as quiet as the captured one.
    std::this_thread::sleep_for(600ms);
    again.clear();
    again.write(dataFrame(1, codes::VERSION, 2, {}));
    EXPECT_TRUE(again.readAtLeast(1, 300ms).empty());

    EXPECT_EQ(sim.wait(10s), 0) << sim.out() << sim.err();
    EXPECT_NE(sim.out().find("replay: played out: 1 boards, 3 frames played"), std::string::npos)
        << sim.out();
    EXPECT_FALSE(present());
}

TEST(ReplayE2e, RefusesAFileThatIsNotACapture) {
    TempDir dir;
    const std::string text = dir.path() + "/notes.pcap";
    std::ofstream(text) << "device_rpm:1500;\n";
    const std::string empty = dir.path() + "/empty.pcap";
    {
        capture::PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(empty, error)) << error;
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {text, ": not a benchd capture"},
        {dir.path() + "/missing.pcap", "cannot read"},
        {empty, ": the capture holds no records"},
    };
    for (const auto& [path, reason] : cases) {
        Process sim({sim_e2e::SimBench::tool("benchsim"), "--dir", dir.path(), "--replay", path});
        EXPECT_EQ(sim.wait(10s), 1) << path;
        EXPECT_NE(sim.err().find(path), std::string::npos) << sim.err();
        EXPECT_NE(sim.err().find(reason), std::string::npos) << sim.err();
    }
}

// A capture from a bench whose clock was set twice while it ran: an unset clock (1970) put
// right, decades forward, then set back a day. Each jump is said, and played as no wait at all:
// the capture plays out in moments, every frame in its order.
TEST(ReplayE2e, ClockJumpsAreSaidAndNotWaitedOut) {
    using capture::Direction;
    using capture::Kind;
    const Bytes reply = dataFrame(0, codes::VERSION, 1, {3, 4, 1, 12});
    const Bytes afterSet = dataFrame(1, codes::VERSION, 1, {3, 4, 1, 12});
    const Bytes afterSetBack = dataFrame(2, codes::VERSION, 1, {3, 4, 1, 12});
    TempDir dir;
    const std::string file = dir.path() + "/clock.pcap";
    {
        constexpr int64_t UNSET = 86400000000;           // 1970-01-02, in microseconds
        constexpr int64_t SET = 1700000000000000;        // 2023-11-14
        constexpr int64_t SET_BACK = SET - 90000000000;  // 25 hours before
        auto at = [](int64_t us, capture::Record r) {
            r.microseconds = us;
            return r;
        };
        capture::PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(file, error)) << error;
        for (const capture::Record& r : {
                 at(UNSET, record(0, Direction::Daemon, Kind::PortOpened)),
                 at(UNSET + 100000, record(0, Direction::ToBoard, Kind::DataFrame,
                                           dataFrame(0, codes::VERSION, 2, {}))),
                 at(UNSET + 130000, record(0, Direction::FromBoard, Kind::DataFrame, reply)),
                 at(SET, record(0, Direction::FromBoard, Kind::DataFrame, afterSet)),
                 at(SET_BACK, record(0, Direction::FromBoard, Kind::DataFrame, afterSetBack)),
                 at(SET_BACK + 100000, record(0, Direction::Daemon, Kind::PortClosed)),
             }) {
            ASSERT_TRUE(writer.write(r, error)) << error;
        }
    }
    const std::string link = dir.path() + "/ttyUSB0";
    Process sim({sim_e2e::SimBench::tool("benchsim"), "--dir", dir.path(), "--replay", file});
    ASSERT_TRUE(waitUntil([&] { return ::access(link.c_str(), F_OK) == 0; }))
        << sim.out() << sim.err();
    HostLine host(link);
    ASSERT_TRUE(host.valid());
    host.write(dataFrame(7, codes::VERSION, 2, {}));
    const Bytes expected = join({ackFrame(7), reply, afterSet, afterSetBack});
    EXPECT_EQ(hex(host.readAtLeast(expected.size())), hex(expected));

    EXPECT_EQ(sim.wait(10s), 0) << sim.out() << sim.err();
    const std::string out = sim.out();
    EXPECT_NE(out.find("replay: the capture's clock jumps 53.9 years forward at 0.130 s; the "
                       "replay goes straight on from there\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("replay: the capture's clock jumps 1.0 days back at 0.130 s; the replay "
                       "goes straight on from there\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("frames over 0.230 s"), std::string::npos) << out;
    EXPECT_NE(out.find("replay: played out: 1 boards, 3 frames played"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Captures, ReplayE2e, ::testing::ValuesIn(captureNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReplayE2e);

}  // namespace
