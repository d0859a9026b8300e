#include "faultbench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "protocol/codes.h"
#include "protocol/deviceids.h"

using namespace testing_support;
using sim_e2e::be16;
using sim_e2e::be32;
using sim_e2e::be64;
using sim_e2e::SimBench;
using sim_e2e::SimFrame;
using Clock = std::chrono::steady_clock;

namespace fault_e2e {

namespace {

int countEntries(const std::string& dir) {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

using known_devices::isStand;
using known_devices::isTester;

// The keys one report becomes for the client. A tester's speed counts only on a bench without
// a stand; the caller decides that.
std::vector<std::string> keysOf(unsigned char device, const SimFrame& frame, bool standOnBench) {
    const Bytes p = frame.payload();
    switch (frame.code()) {
        case codes::PRESSURES:
            if (isTester(device)) {
                return {"pressure_pressure", "pressure_max"};
            }
            return isStand(device) ? std::vector<std::string>{"device_pressure1"}
                                   : std::vector<std::string>{};
        case codes::INJECTOR_STATUS:
            return {"injector_status"};
        case codes::CHART_FIRST:
        case codes::CHART_FIRST + 1:
        case codes::CHART_FIRST + 2:
        case codes::CHART_FIRST + 3:
        case codes::CHART_FIRST + 4:
        case codes::CHART_LAST: {
            // One message per chart, when its first segment (switch 0) came with all the rest.
            if (p.empty() || p[0] != 0) {
                return {};
            }
            int index = frame.code() - codes::CHART_FIRST;
            return {index == 0 ? "injector_chart" : "injector_chart" + std::to_string(index + 1)};
        }
        case codes::LEAKAGE:
            return {"leakage_time_passed"};
        case codes::REGULATOR_STATUS: {
            std::vector<std::string> keys;
            for (int n = 1; n <= 3; ++n) {
                std::string regulator = "regulator" + std::to_string(n);
                keys.push_back(regulator + "_active");
                keys.push_back(regulator + "_current");
                keys.push_back(regulator + "_duty_cycle");
            }
            return keys;
        }
        case codes::ROTATION_SPEED:
            if (isStand(device) || (isTester(device) && !standOnBench)) {
                return {"device_rpm"};
            }
            return {};
        case codes::ROTATION_ACTIVE:
            return isStand(device) ? std::vector<std::string>{"device_active"}
                                   : std::vector<std::string>{};
        case codes::TEMPERATURE:
            return {"device_temperature1", "device_temperature2"};
        case codes::STAND_STATE:
            return {"device_tank", "device_fan"};
        case codes::FLOW_CALIBRATION:
            return {"flowmeter_calibrate"};
        case codes::FLOW:
            return {"flowmeter_flow"};
        case codes::DELAY_FIGURES:
            return {"delay_meter"};
        default:
            return {};
    }
}

bool standOn(const std::vector<BoardRole>& boards) {
    return std::any_of(boards.begin(), boards.end(),
                       [](const BoardRole& b) { return isStand(b.device); });
}

std::string keyOf(const std::string& message) {
    return message.substr(0, message.find(':'));
}

// A sensitivity the parser scales exactly (a sixteenth), different on every call. Tests that
// pick their own use sixteenths above 80.
std::pair<std::string, unsigned> nextSensitivity() {
    static std::atomic<unsigned> serial{0};
    unsigned k = 1 + serial.fetch_add(1) % 80;
    char text[64];
    std::snprintf(text, sizeof text, "delaymeter_sensitivity:%.4f;", k / 16.0);
    return {text, k * 625};
}

bool quiet(const SimBench& bench, const std::vector<BoardRole>& boards) {
    for (const BoardRole& board : boards) {
        if (bench.lineOf("] " + board.name + ": silent from now on") == std::string::npos) {
            return false;
        }
    }
    return true;
}

// Bytes the daemon's socket for this connection still holds unsent (or unacknowledged),
// from /proc/net/tcp; -1 when the connection is not listed.
long daemonSendQueue(uint16_t daemonPort, int clientFd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(clientFd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localAddress, remoteAddress, state, queues;
        fields >> slot >> localAddress >> remoteAddress >> state >> queues;
        auto portOf = [](const std::string& address) {
            return std::stoul(address.substr(address.find(':') + 1), nullptr, 16);
        };
        if (portOf(localAddress) == daemonPort && portOf(remoteAddress) == ntohs(local.sin_port)) {
            return std::stol(queues.substr(0, queues.find(':')), nullptr, 16);
        }
    }
    return -1;
}

}  // namespace

// ---- /proc ----

ProcStats procStats(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    ProcStats stats;
    stats.pid = pid;
    stats.threads = countEntries(base + "/task");
    stats.fds = countEntries(base + "/fd");
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            stats.rssKb = std::stol(line.substr(6));
        }
    }
    return stats;
}

long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the command name in parentheses: state, then utime and stime are the 12th and
    // 13th fields.
    std::istringstream fields(all.substr(all.rfind(')') + 1));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12) {
            ticks += std::stol(field);
        }
    }
    return ticks;
}

std::string descriptors(pid_t pid) {
    std::string list;
    std::error_code error;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code unreadable;
        list += it->path().filename().string() + " -> " +
                std::filesystem::read_symlink(it->path(), unreadable).string() + "\n";
    }
    return list;
}

std::string describe(const ProcStats& stats) {
    char text[128];
    std::snprintf(text, sizeof text, "threads %d, descriptors %d, RSS %ld kB", stats.threads,
                  stats.fds, stats.rssKb);
    return text;
}

void expectRssWithin(const ProcStats& before, long rssKb, long slackKb) {
    if (!SANITIZED) {
        EXPECT_LE(rssKb, before.rssKb + slackKb) << "RSS grew from " << before.rssKb << " kB";
    }
}

ProcStats restingStats(pid_t pid) {
    ProcStats last = procStats(pid);
    auto sampled = Clock::now();
    waitUntil(
        [&] {
            if (Clock::now() - sampled < 20ms) {
                return false;
            }
            ProcStats now = procStats(pid);
            bool same = now.threads == last.threads && now.fds == last.fds;
            last = now;
            sampled = Clock::now();
            return same;
        },
        2000ms);
    return last;
}

ProcStats expectBackTo(const ProcStats& before) {
    // Under a sanitizer the runtime's own descriptors may have closed meanwhile.
    auto back = [&](const ProcStats& now) {
        return now.threads == before.threads &&
               (SANITIZED ? now.fds <= before.fds : now.fds == before.fds);
    };
    ProcStats now;
    waitUntil(
        [&] {
            now = procStats(before.pid);
            return back(now);
        },
        5000ms);
    EXPECT_TRUE(back(now)) << "before: " << describe(before) << "\nnow: " << describe(now)
                           << "\ndescriptors now:\n"
                           << descriptors(before.pid);
    return now;
}

void figure(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("[ FIGURE   ] %s\n", text);
    std::fflush(stdout);
}

bool alive(Process& daemon) {
    return daemon.wait(0ms) < 0;
}

// ---- benchsim's log ----

LineRecord lineRecord(SimBench& bench, const std::string& board) {
    LineRecord record;
    const std::string out = bench.simulator().out();
    const std::string sent = "] " + board + " -> ";
    const std::string received = "] " + board + " <- ";
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t bar = line.find("  | ");
        if (bar == std::string::npos) {
            continue;
        }
        std::string what = line.substr(bar + 4);
        std::size_t at = line.find(sent);
        bool fromBoard = at != std::string::npos;
        if (!fromBoard) {
            at = line.find(received);
        }
        if (at == std::string::npos) {
            continue;
        }
        Bytes bytes = unhex(line.substr(at + sent.size(), bar - at - sent.size()));
        if (bytes.size() < 4) {
            continue;
        }
        if (fromBoard && what.rfind("data ", 0) == 0) {
            record.sentNumbers.push_back(bytes[3]);
            if (what.find("CORRUPTED") != std::string::npos) {
                ++record.corrupted;
            } else {
                record.goodNumbers.push_back(bytes[3]);
            }
        } else if (!fromBoard && what.rfind("ack ", 0) == 0) {
            record.ackedNumbers.push_back(bytes[3]);
        }
    }
    return record;
}

KeyCounts expectedKeys(const SimBench& bench, const std::vector<BoardRole>& boards) {
    const bool stand = standOn(boards);
    KeyCounts counts;
    for (const BoardRole& board : boards) {
        for (const SimFrame& frame : bench.frames(board.name, false)) {
            for (const std::string& key : keysOf(board.device, frame, stand)) {
                ++counts[key];
            }
        }
    }
    return counts;
}

KeyCounts receivedKeys(const FeedClient& client, const std::vector<BoardRole>& boards) {
    std::set<std::string> standAnnouncements;
    for (const BoardRole& board : boards) {
        if (isStand(board.device)) {
            standAnnouncements.insert("device_connected:" + std::to_string(board.device) + ";");
        }
    }
    bool speedsCount = standAnnouncements.empty();
    KeyCounts counts;
    for (const std::string& message : client.messages()) {
        std::string key = keyOf(message);
        if (key == "device_connected" || key == "device_disconnected") {
            speedsCount = speedsCount || standAnnouncements.count(message) != 0;
            continue;
        }
        if (key == "device_rpm" && !speedsCount) {
            continue;
        }
        ++counts[key];
    }
    return counts;
}

Delivery awaitDelivery(const SimBench& bench, const FeedClient& client,
                       const std::vector<BoardRole>& boards, std::chrono::milliseconds timeout) {
    Delivery delivery{expectedKeys(bench, boards), {}};
    waitUntil(
        [&] {
            delivery.received = receivedKeys(client, boards);
            return delivery.received == delivery.expected;
        },
        timeout);
    return delivery;
}

std::string keyDifferences(const KeyCounts& expected, const KeyCounts& received) {
    std::set<std::string> keys;
    for (const auto& entry : expected) {
        keys.insert(entry.first);
    }
    for (const auto& entry : received) {
        keys.insert(entry.first);
    }
    std::string differences;
    for (const std::string& key : keys) {
        auto sent = expected.find(key);
        auto got = received.find(key);
        long s = sent == expected.end() ? 0 : sent->second;
        long r = got == received.end() ? 0 : got->second;
        if (s != r) {
            differences +=
                key + ": sent " + std::to_string(s) + ", received " + std::to_string(r) + "\n";
        }
    }
    return differences;
}

long total(const KeyCounts& counts) {
    long sum = 0;
    for (const auto& entry : counts) {
        sum += entry.second;
    }
    return sum;
}

std::string messageOf(const SimFrame& frame) {
    const Bytes p = frame.payload();
    if (frame.code() == codes::FLOW && p.size() >= 90) {
        std::string message = "flowmeter_flow:";
        for (std::size_t k = 0; k < 10; ++k) {
            uint64_t divisor = p[9 * k] ? p[9 * k] : 1;
            message += std::to_string(be64(p, 9 * k + 1) / divisor) + (k < 9 ? "," : ";");
        }
        return message;
    }
    if (frame.code() == codes::DELAY_FIGURES && p.size() >= 15) {
        int32_t count = static_cast<int32_t>(be16(p, 5));
        int32_t average = count ? be32(p, 1) / count : 0;
        return "delay_meter:" + std::to_string(std::max(0, be32(p, 7))) + "," +
               std::to_string(be32(p, 11)) + "," + std::to_string(average) + ";";
    }
    return {};
}

void expectServed(const SimBench& bench, FeedClient& client, const BoardRole& board) {
    SCOPED_TRACE("service of " + board.name);
    ASSERT_TRUE(board.device == 12 || board.device == 5);
    // A report sent from now on reaches the client as its message.
    const unsigned char code = board.device == 12 ? codes::FLOW : codes::DELAY_FIGURES;
    const std::size_t clientMark = client.size();
    const std::size_t sentMark = bench.frames(board.name, false).size();
    std::string message;
    ASSERT_TRUE(waitUntil(
        [&] {
            std::vector<SimFrame> sent = bench.frames(board.name, false);
            for (std::size_t i = sentMark; i < sent.size(); ++i) {
                if (sent[i].code() == code) {
                    message = messageOf(sent[i]);
                    return true;
                }
            }
            return false;
        },
        5000ms))
        << "the board sends no report " << static_cast<int>(code);
    EXPECT_TRUE(client.waitFor(message, clientMark, 5000ms)) << message.substr(0, 120);

    // A client setting reaches the board.
    const std::size_t hostMark = bench.frames(board.name, true).size();
    std::string setting = "flowmeter_reset:1;";
    Bytes payload;
    unsigned char settingCode = codes::FLOW_RESET;
    if (board.device == 5) {
        auto sensitivity = nextSensitivity();
        setting = sensitivity.first;
        settingCode = codes::DELAY_SENSITIVITY;
        payload = {0, static_cast<unsigned char>(sensitivity.second >> 8),
                   static_cast<unsigned char>(sensitivity.second), 0, 0};
    }
    client.send(setting);
    EXPECT_TRUE(waitUntil(
        [&] {
            std::vector<SimFrame> got = bench.frames(board.name, true);
            for (std::size_t i = hostMark; i < got.size(); ++i) {
                if (got[i].code() == settingCode && got[i].payload() == payload) {
                    return true;
                }
            }
            return false;
        },
        5000ms))
        << setting << " did not reach the board";
}

// ---- Scenarios ----

namespace {

const std::vector<BoardRole> FOUR_BOARDS = {
    {"ttyUSB0", 62}, {"ttyUSB1", 34}, {"ttyUSB2", 12}, {"ttyUSB3", 5}};

std::vector<std::string> fourBoardArgs(const std::string& faults) {
    return {"stand62=ttyUSB0" + faults, "crit=ttyUSB1" + faults, "flowmeter=ttyUSB2" + faults,
            "delaymeter=ttyUSB3" + faults};
}

void waitAnnounced(const FeedClient& client, const std::vector<BoardRole>& boards) {
    for (const BoardRole& board : boards) {
        ASSERT_TRUE(
            client.waitFor("device_connected:" + std::to_string(board.device) + ";", 0, 15000ms))
            << board.name;
    }
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

void nothingLostSoak(int seconds) {
    // Every board falls silent once the soak is over (benchsim's clock, which starts a moment
    // before the daemon), so that everything it sent can be counted.
    const int quietAt = seconds + 5;
    SimBench bench(fourBoardArgs(",silent-after=" + std::to_string(quietAt)));
    FeedClient client(bench.port());
    ASSERT_TRUE(client.connected());
    waitAnnounced(client, FOUR_BOARDS);
    // Every kind of report moves: charts flow, the stand turns, regulator and leakage run.
    client.send(
        "osc:1;device_rpm:1500;device_active:1;injector_active:1;regulator1_active:1;"
        "regulator1_current:1.5;leakage_start_pressure:1000;leakage_low_pressure:900;"
        "leakage_max_time:8000;");
    ASSERT_TRUE(client.waitForCount("injector_chart6", 1, 10000ms));

    const pid_t pid = bench.daemon().pid();
    const ProcStats start = restingStats(pid);
    figure("soak %d s, four boards and a client: start: %s", seconds, describe(start).c_str());
    ProcStats peak = start;
    const auto began = Clock::now();
    int nextReport = 60;
    // The soak runs for its length; the daemon's figures are sampled meanwhile.
    while (!quiet(bench, FOUR_BOARDS)) {
        ASSERT_TRUE(alive(bench.daemon())) << bench.daemon().err();
        ASSERT_LT(secondsSince(began), quietAt + 60.0) << "the boards never fell silent";
        std::this_thread::sleep_for(1s);
        ProcStats now = procStats(pid);
        peak.threads = std::max(peak.threads, now.threads);
        peak.fds = std::max(peak.fds, now.fds);
        peak.rssKb = std::max(peak.rssKb, now.rssKb);
        if (secondsSince(began) >= nextReport) {
            figure("soak at %d s: %s, %zu messages received", nextReport, describe(now).c_str(),
                   client.size());
            nextReport += 60;
        }
    }
    EXPECT_EQ(bench.daemonCount("Connection timeout"), 0u) << "every board stayed alive";

    // What the boards sent is all with the client a moment later.
    const auto [expected, received] = awaitDelivery(bench, client, FOUR_BOARDS, 15000ms);
    const ProcStats end = expectBackTo(start);
    for (const auto& entry : expected) {
        auto got = received.find(entry.first);
        figure("  %-22s sent %7ld  received %7ld", entry.first.c_str(), entry.second,
               got == received.end() ? 0L : got->second);
    }
    figure("soak %d s: %ld reports' messages sent, %ld received, %llu bytes", seconds,
           total(expected), total(received), static_cast<unsigned long long>(client.bytes()));
    figure("soak %d s: start: %s", seconds, describe(start).c_str());
    figure("soak %d s: end:   %s", seconds, describe(end).c_str());
    figure("soak %d s: peak:  %s", seconds, describe(peak).c_str());
    EXPECT_EQ(keyDifferences(expected, received), "");
    EXPECT_GT(total(expected), 0);
    EXPECT_EQ(bench.lineOf("dropping output"), std::string::npos) << "the daemon stopped reading";
    EXPECT_EQ(bench.daemonCount("Connection established."), 1u);
    if (!SANITIZED) {
        // Flat all along, not only at the end.
        EXPECT_EQ(peak.fds, start.fds);
        EXPECT_EQ(peak.threads, start.threads);
    }
    // Flat: no more than the allocator's slack.
    expectRssWithin(start, end.rssKb, std::max(2048L, start.rssKb / 5));
}

void stalledClient(int seconds) {
    std::vector<std::string> boardArgs = fourBoardArgs("");
    boardArgs.push_back("flowmeter=spare0");  // plugged in after the stall
    SimBench bench(boardArgs);
    // A small receive buffer: the stall reaches the daemon's socket at once.
    FeedClient client(bench.port(), 4096);
    ASSERT_TRUE(client.connected());
    waitAnnounced(client, FOUR_BOARDS);
    client.send("osc:1;");
    ASSERT_TRUE(client.waitForCount("injector_chart6", 1, 10000ms));

    const pid_t pid = bench.daemon().pid();
    const ProcStats before = restingStats(pid);
    std::map<std::string, std::size_t> acksBefore;
    for (const BoardRole& board : FOUR_BOARDS) {
        acksBefore[board.name] = lineRecord(bench, board.name).ackedNumbers.size();
    }
    const std::size_t receivedBefore = client.size();
    client.pauseReading(true);
    const auto stalled = Clock::now();
    // The client's buffer fills, then the daemon's socket.
    long queued = -1;
    EXPECT_TRUE(waitUntil(
        [&] {
            queued = daemonSendQueue(bench.port(), client.fd());
            return client.unread() > 0 && queued > 0;
        },
        5000ms))
        << "unread " << client.unread() << ", daemon's send queue " << queued;
    long peakRss = before.rssKb;
    while (secondsSince(stalled) < seconds) {
        ASSERT_TRUE(alive(bench.daemon()));
        std::this_thread::sleep_for(250ms);
        peakRss = std::max(peakRss, procStats(pid).rssKb);
    }
    queued = daemonSendQueue(bench.port(), client.fd());
    const int unread = client.unread();

    // Still not reading, the client is heard: its setting reaches the delay meter.
    const std::size_t hostMark = bench.frames("ttyUSB3", true).size();
    auto sensitivity = nextSensitivity();
    client.send(sensitivity.first);
    const Bytes payload = {0, static_cast<unsigned char>(sensitivity.second >> 8),
                           static_cast<unsigned char>(sensitivity.second), 0, 0};
    EXPECT_TRUE(waitUntil(
        [&] {
            std::vector<SimFrame> got = bench.frames("ttyUSB3", true);
            return std::any_of(got.begin() + static_cast<std::ptrdiff_t>(hostMark), got.end(),
                               [&](const SimFrame& f) {
                                   return f.code() == codes::DELAY_SENSITIVITY &&
                                          f.payload() == payload;
                               });
        },
        5000ms))
        << "a stalled client's setting was not routed";
    // The boards were served all along: each one's reports were acknowledged.
    for (const BoardRole& board : FOUR_BOARDS) {
        EXPECT_GT(lineRecord(bench, board.name).ackedNumbers.size(), acksBefore[board.name] + 2)
            << board.name;
    }
    EXPECT_EQ(bench.daemonCount("Connection timeout"), 0u);
    const ProcStats during = procStats(pid);

    // Reading again, the client soon has what the boards report now.
    client.pauseReading(false);
    const auto resumed = Clock::now();
    const std::size_t flowMark = bench.frames("ttyUSB2", false).size();
    std::string current;
    ASSERT_TRUE(waitUntil(
        [&] {
            std::vector<SimFrame> sent = bench.frames("ttyUSB2", false);
            for (std::size_t i = flowMark; i < sent.size(); ++i) {
                if (sent[i].code() == codes::FLOW) {
                    current = messageOf(sent[i]);
                    return true;
                }
            }
            return false;
        },
        5000ms));
    EXPECT_TRUE(client.waitFor(current, receivedBefore, 15000ms)) << current;
    const double caughtUp = secondsSince(resumed);
    const ProcStats after = expectBackTo(before);

    figure("stalled client %d s: before: %s", seconds, describe(before).c_str());
    figure("stalled client %d s: at the end of the stall: %s (peak RSS %ld kB)", seconds,
           describe(during).c_str(), peakRss);
    figure("stalled client %d s: unread in the client %d B, in the daemon's socket %ld B", seconds,
           unread, queued);
    figure(
        "stalled client %d s: current telemetry %.2f s after reading again; %zu messages "
        "then",
        seconds, caughtUp, client.size() - receivedBefore);
    figure("stalled client %d s: after: %s", seconds, describe(after).c_str());
    EXPECT_FALSE(client.ended()) << "the daemon dropped a client that only paused";
    EXPECT_EQ(bench.daemonCount("Connection established."), 1u);
    // Bounded: the message queue's limit (10,000 messages) with room to spare.
    expectRssWithin(before, peakRss, 64L * 1024);

    // A board plugged in now is identified and served.
    bench.link("ttyUSB4", bench.slavePath("spare0"));
    EXPECT_TRUE(waitUntil([&] { return client.count("device_connected") == 5; }, 10000ms));
    expectServed(bench, client, {"spare0", 12});
}

void reconnects(int count) {
    const std::vector<BoardRole> boards = {{"ttyUSB0", 5}, {"ttyUSB1", 12}};
    SimBench bench({"delaymeter=ttyUSB0", "flowmeter=ttyUSB1"});
    {
        FeedClient first(bench.port());
        ASSERT_TRUE(first.connected());
        waitAnnounced(first, boards);
    }
    ASSERT_TRUE(waitUntil([&] { return bench.daemonCount("Waiting for connection...") == 2; }));
    const pid_t pid = bench.daemon().pid();
    const ProcStats before = restingStats(pid);
    const auto began = Clock::now();
    for (int i = 0; i < count; ++i) {
        int fd = connectTo(bench.port(), 0);
        ASSERT_GE(fd, 0) << "connection " << i;
        switch (i % 4) {
            case 0: {
                // Reads its announcements, then leaves.
                std::string got;
                EXPECT_TRUE(waitUntil(
                    [&] {
                        char buffer[256];
                        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                        if (n > 0) {
                            got.append(buffer, static_cast<std::size_t>(n));
                        }
                        return got.find("device_connected:12;") != std::string::npos;
                    },
                    5000ms))
                    << "connection " << i << ": " << got;
                break;
            }
            case 1: {
                // Says something and leaves.
                std::string text = "flowmeter_reset:1;";
                EXPECT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
                          static_cast<ssize_t>(text.size()));
                break;
            }
            case 2:
                // Leaves at once.
                break;
            default: {
                // Resets the connection.
                linger abort{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                break;
            }
        }
        ::close(fd);
    }
    // Served in the order they came: once a client after them has its announcements, every
    // one of them has been served and closed.
    {
        FeedClient probe(bench.port());
        ASSERT_TRUE(probe.connected());
        ASSERT_TRUE(probe.waitFor("device_connected:12;", 0, 30000ms))
            << bench.daemonCount("Connection established.") << " connections said";
    }
    const double took = secondsSince(began);
    const ProcStats after = expectBackTo(before);
    figure("%d client reconnects in %.1f s: before: %s", count, took, describe(before).c_str());
    figure("%d client reconnects: after:  %s", count, describe(after).c_str());
    // The storm is said in its first lines and then counted, not a line per connection.
    std::size_t lines = 0;
    const std::string err = bench.daemon().err();
    for (const auto& [line, count] :
         {std::pair<std::string, std::size_t>{"Waiting for connection...",
                                              bench.daemonCount("Waiting for connection...")},
          {"Connection established.", bench.daemonCount("Connection established.")},
          {"Client crush (stderr)", occurrences(err, "Client crush")}}) {
        EXPECT_GE(count, 1u) << line;
        EXPECT_LE(count, 22u) << line;
        lines += count;
    }
    figure("%d client reconnects: %zu console lines about connections", count, lines);
    expectRssWithin(before, after.rssKb, 2048);

    // The next client is served as the first was.
    FeedClient last(bench.port());
    ASSERT_TRUE(last.connected());
    waitAnnounced(last, boards);
    for (const BoardRole& board : boards) {
        expectServed(bench, last, board);
    }
    EXPECT_TRUE(alive(bench.daemon()));
}

void plugCycles(int cycles, int group) {
    // Boards under names the daemon ignores; plugging one in is linking a port name to it.
    std::vector<std::string> boardArgs;
    std::vector<BoardRole> boards;
    for (int i = 0; i < 2 * group; ++i) {
        bool flowmeter = i % 2 == 0;
        std::string name = "spare" + std::to_string(i);
        boardArgs.push_back((flowmeter ? "flowmeter=" : "delaymeter=") + name);
        boards.push_back({name, static_cast<unsigned char>(flowmeter ? 12 : 5)});
    }
    SimBench bench(boardArgs);
    FeedClient client(bench.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(waitUntil([&] { return bench.daemonCount("Connection established.") == 1; }));
    auto port = [](int i) { return "ttyUSB" + std::to_string(i); };

    const pid_t pid = bench.daemon().pid();
    const ProcStats before = restingStats(pid);
    ProcStats half, peak = before;
    const auto began = Clock::now();
    const int phases = (cycles + group - 1) / group;
    std::size_t plugged = 0, unplugged = 0;
    for (int phase = 0; phase < phases; ++phase) {
        // One group goes in while the other comes out.
        const int in = phase % 2 == 0 ? 0 : group;
        const int out = group - in;
        for (int k = 0; k < group; ++k) {
            bench.link(port(in + k), bench.slavePath(boards[in + k].name));
            if (phase > 0) {
                bench.unlink(port(out + k));
            }
        }
        plugged += group;
        unplugged += phase > 0 ? group : 0;
        ASSERT_TRUE(waitUntil(
            [&] {
                return bench.daemonCount("DEVICE CONNECTED: ") >= plugged &&
                       bench.daemonCount("Device disconnected: ") >= unplugged;
            },
            20000ms))
            << "phase " << phase;
        ProcStats now = procStats(pid);
        peak.threads = std::max(peak.threads, now.threads);
        peak.fds = std::max(peak.fds, now.fds);
        peak.rssKb = std::max(peak.rssKb, now.rssKb);
        if (phase == phases / 2) {
            half = now;
        }
    }
    const int last = phases % 2 == 1 ? 0 : group;
    for (int k = 0; k < group; ++k) {
        bench.unlink(port(last + k));
    }
    unplugged += group;
    ASSERT_TRUE(waitUntil([&] { return bench.daemonCount("Device disconnected: ") >= unplugged; },
                          10000ms));
    // The last channels are retired right after their console lines.
    const auto lastOut = Clock::now();
    const ProcStats after = expectBackTo(before);
    const double settled = secondsSince(lastOut);
    figure(
        "%zu plug/unplug cycles (%d boards at a time) in %.1f s; back to rest %.3f s after "
        "the last unplug was seen",
        plugged, group, secondsSince(began), settled);
    figure("plug cycles: before:   %s", describe(before).c_str());
    figure("plug cycles: half-way: %s (boards plugged)", describe(half).c_str());
    figure("plug cycles: peak:     %s", describe(peak).c_str());
    figure("plug cycles: after:    %s", describe(after).c_str());
    expectRssWithin(before, after.rssKb, 4096);
    // The client heard of each board once as it came and once as it went.
    EXPECT_TRUE(waitUntil([&] {
        return client.count("device_connected") >= plugged &&
               client.count("device_disconnected") >= unplugged;
    }));
    EXPECT_EQ(client.count("device_connected"), plugged);
    EXPECT_EQ(client.count("device_disconnected"), unplugged);

    // Plugged in once more, a board is served as ever.
    bench.link(port(0), bench.slavePath(boards[0].name));
    ASSERT_TRUE(
        waitUntil([&] { return bench.daemonCount("DEVICE CONNECTED: ") > plugged; }, 10000ms));
    expectServed(bench, client, boards[0]);
    EXPECT_TRUE(alive(bench.daemon()));
}

}  // namespace fault_e2e
