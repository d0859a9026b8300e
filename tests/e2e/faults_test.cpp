// Faults injected into the real daemon through benchsim's boards, boards driven by hand on raw
// pseudo-terminals and misbehaving clients. After each fault the daemon must still identify
// boards, deliver their reports and route a client's settings to them; where it matters, its
// threads, descriptors and memory are measured before and after ("[ FIGURE ]" lines).
// The long runs (ten-minute soak, a client stalled for a minute, 100 plug cycles) are the
// soak program's (make soak); here they run short.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faultbench.h"
#include "protocol/codes.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;
using sim_e2e::SimBench;
using sim_e2e::SimFrame;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The host's setting of a delay meter's sensitivity to k/16 (exact in the parser's scaling),
// and the payload of the frame it becomes.
std::string sensitivity(unsigned k) {
    char text[64];
    std::snprintf(text, sizeof text, "delaymeter_sensitivity:%.4f;", k / 16.0);
    return text;
}

Bytes sensitivityPayload(unsigned k) {
    unsigned value = k * 625;
    return {0, static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value), 0, 0};
}

bool hasFrame(const std::vector<HostFrame>& frames, unsigned char code, const Bytes& payload) {
    return std::any_of(frames.begin(), frames.end(), [&](const HostFrame& f) {
        return f.bytes.size() >= 8 && f.code() == code &&
               Bytes(f.bytes.begin() + 7, f.bytes.end() - 1) == payload;
    });
}

// `wanted` appears in `all` in order (other numbers may come between).
bool inOrderWithin(const std::vector<unsigned char>& all,
                   const std::vector<unsigned char>& wanted) {
    auto at = all.begin();
    for (unsigned char number : wanted) {
        at = std::find(at, all.end(), number);
        if (at == all.end()) {
            return false;
        }
        ++at;
    }
    return true;
}

const std::vector<BoardRole> LINE_BOARDS = {{"ttyUSB0", 62}, {"ttyUSB1", 12}, {"ttyUSB2", 5}};
constexpr int LINE_QUIET_AT = 14;  // seconds after benchsim starts

// Three boards with line faults (`faults[i]` for board i) report until they fall silent.
// Before that each meter is served; afterwards every frame with a sound CRC has been
// acknowledged, none other, and every one of them reached the client, counted per key.
void lineFaultRun(const std::vector<std::string>& faults, const std::string& label,
                  const std::function<void(SimBench&, FeedClient&)>& whileRunning = {}) {
    const std::string quiet = ",silent-after=" + std::to_string(LINE_QUIET_AT);
    SimBench bench({"stand62=ttyUSB0" + faults[0] + quiet, "flowmeter=ttyUSB1" + faults[1] + quiet,
                    "delaymeter=ttyUSB2" + faults[2] + quiet});
    FeedClient client(bench.port());
    ASSERT_TRUE(client.connected());
    for (const BoardRole& board : LINE_BOARDS) {
        ASSERT_TRUE(
            client.waitFor("device_connected:" + std::to_string(board.device) + ";", 0, 10000ms))
            << board.name;
    }
    const ProcStats before = restingStats(bench.daemon().pid());
    expectServed(bench, client, {"ttyUSB1", 12});
    expectServed(bench, client, {"ttyUSB2", 5});
    if (whileRunning) {
        whileRunning(bench, client);
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            return bench.lineOf("] ttyUSB0: silent from now on") != std::string::npos &&
                   bench.lineOf("] ttyUSB1: silent from now on") != std::string::npos &&
                   bench.lineOf("] ttyUSB2: silent from now on") != std::string::npos;
        },
        (LINE_QUIET_AT + 10) * 1000ms));
    EXPECT_EQ(bench.daemonCount("Connection timeout"), 0u);

    for (const BoardRole& board : LINE_BOARDS) {
        SCOPED_TRACE(board.name);
        LineRecord line;
        EXPECT_TRUE(waitUntil(
            [&] {
                line = lineRecord(bench, board.name);
                return line.ackedNumbers.size() >= line.goodNumbers.size();
            },
            3000ms));
        EXPECT_EQ(hex(line.ackedNumbers), hex(line.goodNumbers))
            << "each sound frame acknowledged once, in order, and nothing else";
        figure("%s, %s: %zu frames sent, %zu corrupted, %zu acknowledged", label.c_str(),
               board.name.c_str(), line.sentNumbers.size(), line.corrupted,
               line.ackedNumbers.size());
    }
    const auto [expected, received] = awaitDelivery(bench, client, LINE_BOARDS, 5000ms);
    EXPECT_EQ(keyDifferences(expected, received), "");
    EXPECT_GT(total(expected), 50);
    const ProcStats after = expectBackTo(before);
    figure("%s: %ld report messages sent, %ld delivered; daemon before %s, after %s", label.c_str(),
           total(expected), total(received), describe(before).c_str(), describe(after).c_str());
    EXPECT_TRUE(alive(bench.daemon()));
}

}  // namespace

// ---- Board lines ----

TEST(FaultsE2E, GarbageBetweenEveryFrameLosesNothing) {
    lineFaultRun({",garbage", ",garbage", ",garbage"}, "garbage between frames");
}

TEST(FaultsE2E, CorruptedFramesAreNeverAcknowledgedAndTheRestDelivered) {
    lineFaultRun({",corrupt=20", ",corrupt=20", ",corrupt=20"}, "20% corrupted");
}

TEST(FaultsE2E, BoardThatNeverAcknowledgesIsServedWithoutHoldingUpTheOthers) {
    lineFaultRun(
        {"", "", ",no-ack"}, "delay meter without ACKs", [](SimBench& bench, FeedClient& client) {
            // Ten settings at once: each is written three times, in order, then given up.
            const std::size_t mark = bench.frames("ttyUSB2", true).size();
            const std::size_t flowMark = bench.frames("ttyUSB1", true).size();
            std::string text;
            for (unsigned k = 81; k <= 90; ++k) {
                text += sensitivity(k);
            }
            client.send(text + "flowmeter_reset:1;");
            // The delay meter's command frames from the mark on.
            auto settingFrames = [&] {
                std::vector<SimFrame> got = bench.frames("ttyUSB2", true);
                got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(mark));
                got.erase(std::remove_if(got.begin(), got.end(),
                                         [](const SimFrame& f) {
                                             Bytes p = f.payload();
                                             return f.code() != codes::DELAY_SENSITIVITY ||
                                                    p.size() != 5 || (p[1] << 8 | p[2]) < 81 * 625;
                                         }),
                          got.end());
                return got;
            };
            std::vector<SimFrame> settings;
            EXPECT_TRUE(waitUntil(
                [&] {
                    settings = settingFrames();
                    return settings.size() >= 30;
                },
                5000ms));
            // Nothing more once the three tries are over.
            ASSERT_FALSE(waitUntil([&] { return settingFrames().size() > 30; }, 300ms));
            ASSERT_EQ(settings.size(), 30u);
            for (unsigned k = 0; k < 10; ++k) {
                for (unsigned attempt = 0; attempt < 3; ++attempt) {
                    const SimFrame& frame = settings[k * 3 + attempt];
                    EXPECT_EQ(hex(frame.payload()), hex(sensitivityPayload(81 + k))) << k;
                    EXPECT_EQ(hex(frame.bytes), hex(settings[k * 3].bytes)) << "a retry";
                }
            }
            // The flowmeter had its setting meanwhile.
            EXPECT_TRUE(waitUntil([&] {
                std::vector<SimFrame> got = bench.frames("ttyUSB1", true);
                return std::any_of(got.begin() + static_cast<std::ptrdiff_t>(flowMark), got.end(),
                                   [](const SimFrame& f) { return f.code() == codes::FLOW_RESET; });
            }));
        });
}

TEST(FaultsE2E, FloodOfGarbageThenServiceResumes) {
    Daemon daemon;
    RawBoard board(5);
    daemon.dir.link("ttyUSB0", board.slavePath());
    FeedClient client(daemon.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    const ProcStats before = restingStats(daemon.process->pid());

    // 2 MB of noise, a third of it frame-start bytes and frame kinds, so that the parser keeps
    // finding frame heads with lengths that swallow what follows.
    constexpr std::size_t FLOOD = 2 << 20;
    std::mt19937 random(2015);
    Bytes chunk(4096);
    const auto flooding = Clock::now();
    for (std::size_t sent = 0; sent < FLOOD; sent += chunk.size()) {
        for (unsigned char& byte : chunk) {
            unsigned pick = random() % 12;
            byte = pick < 3 ? 0xA5 : pick == 3 ? 0x0F : pick == 4 ? 0x33 : random() & 0xFF;
        }
        // A daemon that reads on drains each chunk in time, however busy the machine.
        ASSERT_TRUE(board.write(chunk, 30000ms)) << "the daemon stopped reading after " << sent;
    }
    const double took = secondsSince(flooding);

    // A false frame head may swallow the next frames as its body; soon reports arrive again.
    std::size_t mark = client.size();
    int tries = 0;
    bool through = false;
    while (!through && tries < 60) {
        ++tries;
        ASSERT_TRUE(board.write(board.frame(codes::DELAY_FIGURES, delayPayload(5000))));
        through = client.waitFor(delayMessage(5000), mark, 100ms);
    }
    ASSERT_TRUE(through) << "no report delivered after the flood";
    // From then on every report is acknowledged and delivered.
    mark = client.size();
    std::vector<unsigned char> numbers;
    for (int32_t k = 1; k <= 20; ++k) {
        Bytes frame = board.frame(codes::DELAY_FIGURES, delayPayload(5000 + k));
        numbers.push_back(frame[3]);
        ASSERT_TRUE(board.write(frame));
    }
    for (int32_t k = 1; k <= 20; ++k) {
        EXPECT_TRUE(client.waitFor(delayMessage(5000 + k), mark)) << k;
    }
    EXPECT_TRUE(waitUntil([&] { return inOrderWithin(board.hostAcks(), numbers); }));
    client.send(sensitivity(95));
    EXPECT_TRUE(waitUntil([&] {
        return hasFrame(board.hostFrames(), codes::DELAY_SENSITIVITY, sensitivityPayload(95));
    }));
    EXPECT_EQ(client.count("device_connected"), 1u) << "the board stayed identified";

    const ProcStats after = expectBackTo(before);
    figure("garbage flood: %zu bytes taken in %.2f s; reports again after %d tries", FLOOD, took,
           tries);
    figure("garbage flood: before %s, after %s", describe(before).c_str(), describe(after).c_str());
    expectRssWithin(before, after.rssKb, 2048);
    // And a board plugged in now is identified as ever.
    RawBoard another(12);
    daemon.dir.link("ttyUSB1", another.slavePath());
    EXPECT_TRUE(client.waitFor("device_connected:12;", 0, 10000ms));
    EXPECT_TRUE(alive(*daemon.process));
}

TEST(FaultsE2E, BoardUnpluggedInTheMiddleOfAFrame) {
    Daemon daemon;
    FeedClient client(daemon.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(waitUntil([&] { return daemon.count("Connection established.") == 1; }));
    const ProcStats before = restingStats(daemon.process->pid());
    std::vector<std::unique_ptr<RawBoard>> kept;
    const struct {
        const char* what;
        bool hangUp;         // the board's end closes too, as when an adapter is pulled
        bool sameBoardBack;  // the same board comes back and sends the rest of its frame
    } cases[] = {
        {"link removed, the line stays", false, false},
        {"link removed and the line hangs up", true, false},
        {"the same board back, finishing its frame", false, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = "ttyUSB" + std::to_string(n++);
        auto board = std::make_unique<RawBoard>(5);
        std::size_t connected = daemon.count("DEVICE CONNECTED: ");
        const std::size_t gone = client.count("device_disconnected");
        daemon.dir.link(name, board->slavePath());
        ASSERT_TRUE(
            waitUntil([&] { return daemon.count("DEVICE CONNECTED: ") > connected; }, 10000ms));

        const Bytes cut = board->frame(codes::DELAY_FIGURES, delayPayload(7000 + n));
        ASSERT_TRUE(board->write(Bytes(cut.begin(), cut.begin() + 10)));
        daemon.dir.unlink(name);
        if (c.hangUp) {
            board->hangUp();
        }
        ASSERT_TRUE(daemon.process->waitForOut("Device disconnected: " + name + "\n"));
        EXPECT_TRUE(waitUntil([&] { return client.count("device_disconnected") > gone; }));

        std::unique_ptr<RawBoard> next =
            c.sameBoardBack ? std::move(board) : std::make_unique<RawBoard>(5);
        connected = daemon.count("DEVICE CONNECTED: ");
        const std::size_t opened = daemon.count("Connect to: [");
        daemon.dir.link(name, next->slavePath());
        if (c.sameBoardBack) {
            ASSERT_TRUE(waitUntil([&] { return daemon.count("Connect to: [") > opened; }));
            ASSERT_TRUE(next->write(Bytes(cut.begin() + 10, cut.end())));
        }
        ASSERT_TRUE(
            waitUntil([&] { return daemon.count("DEVICE CONNECTED: ") > connected; }, 10000ms));

        // The first whole report after the cut arrives intact; half a frame was never one.
        const std::size_t mark = client.size();
        const Bytes fresh = next->frame(codes::DELAY_FIGURES, delayPayload(8000 + n));
        ASSERT_TRUE(next->write(fresh));
        EXPECT_TRUE(client.waitFor(delayMessage(8000 + n), mark));
        EXPECT_TRUE(waitUntil([&] { return inOrderWithin(next->hostAcks(), {fresh[3]}); }));
        EXPECT_EQ(client.find(delayMessage(7000 + n)), std::string::npos);
        const unsigned k = 90 + static_cast<unsigned>(n);
        client.send(sensitivity(k));
        EXPECT_TRUE(waitUntil([&] {
            return hasFrame(next->hostFrames(), codes::DELAY_SENSITIVITY, sensitivityPayload(k));
        }));
        // Kept plugged to the end, each case on a port of its own.
        kept.push_back(std::move(next));
    }
    figure("unplugged mid-frame, 3 ways: daemon before %s, after %s", describe(before).c_str(),
           describe(procStats(daemon.process->pid())).c_str());
    EXPECT_TRUE(alive(*daemon.process));
}

// The watcher reopens a port whose device node changed identity (st_rdev/st_ino) or failed with
// a hard read error: a board swapped in under the same name between two scans is opened anew.
TEST(FaultsE2E, BoardRepluggedUnderTheSameNameWithinOneScanIsReopened) {
    SimBench bench({"delaymeter=spareA", "flowmeter=spareB",
                    "flowmeter=ttyUSB1,unplug-after=6,replug-after=0.05"});
    FeedClient client(bench.port());
    ASSERT_TRUE(client.connected());
    bench.link("ttyUSB0", bench.slavePath("spareA"));
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    ASSERT_TRUE(client.waitFor("device_connected:12;", 0, 10000ms));

    // Another board behind the same name in one step: the name is never missing from a scan.
    const std::string swap = bench.dir() + "/swap-link";
    ASSERT_EQ(::symlink(bench.slavePath("spareB").c_str(), swap.c_str()), 0);
    ASSERT_EQ(::rename(swap.c_str(), (bench.dir() + "/ttyUSB0").c_str()), 0);
    EXPECT_TRUE(client.waitFor("device_disconnected:5;", 0, 5000ms));
    EXPECT_TRUE(waitUntil([&] { return client.count("device_connected") >= 3; }, 5000ms));
    expectServed(bench, client, {"spareB", 12});

    // Pulled out and back within 50 ms: the old line hangs up, a new terminal has the name.
    ASSERT_TRUE(waitUntil([&] { return bench.lineOf("] ttyUSB1: unplugged") != std::string::npos; },
                          10000ms));
    EXPECT_TRUE(waitUntil([&] { return client.count("device_connected") >= 4; }, 8000ms));
    expectServed(bench, client, {"ttyUSB1", 12});
    EXPECT_TRUE(alive(bench.daemon()));
}

// Every port is opened with TIOCEXCL: a second program cannot take a board that the daemon
// drives (root bypasses the lock, so only the flag is checked then).
TEST(FaultsE2E, PortIsOpenedForExclusiveUse) {
    SimBench bench({"delaymeter=ttyUSB0"});
    FeedClient client(bench.port());
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    int fd = ::open(bench.slavePath("ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (::geteuid() != 0) {
        EXPECT_LT(fd, 0);
        EXPECT_EQ(errno, EBUSY);
    }
    if (fd >= 0) {
        int exclusive = 0;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
        ::close(fd);
    }
    expectServed(bench, client, {"ttyUSB0", 5});
}

// SIGUSR1 prints one line of counters per board ("Counters [ttyUSB0]: frames N, crc failures
// N, ...").
TEST(FaultsE2E, CountersPerBoardOnSigusr1) {
    SimBench bench({"flowmeter=ttyUSB0,corrupt=50", "delaymeter=ttyUSB1"});
    FeedClient client(bench.port());
    ASSERT_TRUE(client.waitFor("device_connected:12;", 0, 10000ms));
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    ASSERT_TRUE(client.waitForCount("flowmeter_flow", 10, 15000ms));
    const std::size_t before = bench.daemon().out().size();
    ASSERT_EQ(::kill(bench.daemon().pid(), SIGUSR1), 0);
    // A counter of one board's line, or -1 while it is not printed.
    auto counter = [&](const std::string& board, const std::string& name) {
        return counterOf(bench.daemon().out().substr(before), board, name);
    };
    ASSERT_TRUE(waitUntil([&] {
        return counter("ttyUSB0", "frames") >= 0 && counter("ttyUSB1", "frames") >= 0;
    })) << bench.daemon().out().substr(before);
    EXPECT_GE(counter("ttyUSB0", "frames"), 10);
    EXPECT_GT(counter("ttyUSB0", "crc failures"), 0) << "half its frames were corrupted";
    EXPECT_GT(counter("ttyUSB1", "frames"), 0);
    EXPECT_EQ(counter("ttyUSB1", "crc failures"), 0);
    ASSERT_TRUE(alive(bench.daemon()));
    expectServed(bench, client, {"ttyUSB0", 12});
    expectServed(bench, client, {"ttyUSB1", 5});
}

TEST(FaultsE2E, SixteenBoardsAtOnce) {
    constexpr int QUIET_AT = 15;
    const std::string quiet = ",silent-after=" + std::to_string(QUIET_AT);
    std::vector<std::string> boardArgs = {"stand62=ttyUSB0" + quiet, "crit=ttyUSB1" + quiet};
    std::vector<BoardRole> boards = {{"ttyUSB0", 62}, {"ttyUSB1", 34}};
    for (int i = 2; i < 16; ++i) {
        bool flowmeter = i < 9;
        std::string name = "ttyUSB" + std::to_string(i);
        boardArgs.push_back((flowmeter ? "flowmeter=" : "delaymeter=") + name + quiet);
        boards.push_back({name, static_cast<unsigned char>(flowmeter ? 12 : 5)});
    }
    SimBench bench(boardArgs);
    FeedClient client(bench.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(waitUntil([&] { return client.count("device_connected") >= 16; }, 15000ms))
        << client.count("device_connected") << " boards announced";
    const ProcStats running = procStats(bench.daemon().pid());

    // Each meter gets the setting for its kind.
    std::map<std::string, std::size_t> marks;
    for (const BoardRole& board : boards) {
        marks[board.name] = bench.frames(board.name, true).size();
    }
    client.send("flowmeter_reset:1;" + sensitivity(99));
    for (const BoardRole& board : boards) {
        if (board.device != 12 && board.device != 5) {
            continue;
        }
        EXPECT_TRUE(waitUntil([&] {
            std::vector<SimFrame> got = bench.frames(board.name, true);
            return std::any_of(got.begin() + static_cast<std::ptrdiff_t>(marks[board.name]),
                               got.end(), [&](const SimFrame& f) {
                                   return board.device == 12
                                              ? f.code() == codes::FLOW_RESET
                                              : f.code() == codes::DELAY_SENSITIVITY &&
                                                    f.payload() == sensitivityPayload(99);
                               });
        })) << board.name;
    }

    ASSERT_TRUE(waitUntil(
        [&] {
            for (const BoardRole& board : boards) {
                if (bench.lineOf("] " + board.name + ": silent from now on") == std::string::npos) {
                    return false;
                }
            }
            return true;
        },
        (QUIET_AT + 10) * 1000ms));
    EXPECT_EQ(bench.daemonCount("Connection timeout"), 0u);
    const auto [expected, received] = awaitDelivery(bench, client, boards, 5000ms);
    EXPECT_EQ(keyDifferences(expected, received), "");
    figure("16 boards: %ld report messages sent, %ld delivered; daemon %s", total(expected),
           total(received), describe(running).c_str());
    EXPECT_TRUE(alive(bench.daemon()));
}

// ---- Clients ----

TEST(FaultsE2E, ClientSendingAMegabyteWithoutSemicolonIsCutOff) {
    SimBench bench({"delaymeter=ttyUSB0", "flowmeter=ttyUSB1", "flowmeter=spare0"});
    FeedClient client(bench.port());
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    ASSERT_TRUE(client.waitFor("device_connected:12;", 0, 10000ms));
    const ProcStats before = restingStats(bench.daemon().pid());
    const std::size_t mark = client.size();

    std::string endless(1 << 20, 'x');
    for (std::size_t i = 0; i < endless.size(); i += 997) {
        endless[i] = i % 2 ? ':' : '\0';
    }
    client.send(endless);
    EXPECT_TRUE(bench.daemon().waitForOut("Message longer than 4096 bytes dropped\n"));
    client.send(";");
    expectServed(bench, client, {"ttyUSB0", 5});
    expectServed(bench, client, {"ttyUSB1", 12});
    const ProcStats after = expectBackTo(before);

    EXPECT_EQ(bench.daemonCount("Message longer than 4096 bytes dropped"), 1u);
    EXPECT_EQ(bench.daemonCount("COMMAND: [x"), 0u);
    EXPECT_GT(client.count("delay_meter", mark), 0u) << "telemetry flowed meanwhile";
    EXPECT_FALSE(client.ended());
    EXPECT_EQ(bench.daemonCount("Connection established."), 1u);
    figure("1 MB without \";\": before %s, after %s", describe(before).c_str(),
           describe(after).c_str());
    // Bounded: the megabyte was not kept (the rest is the daemon warming up, as in any run).
    expectRssWithin(before, after.rssKb, 1024);
    // A board plugged in now is identified and served.
    bench.link("ttyUSB2", bench.slavePath("spare0"));
    EXPECT_TRUE(waitUntil([&] { return client.count("device_connected") == 3; }, 10000ms));
    expectServed(bench, client, {"spare0", 12});
}

TEST(FaultsE2E, ClientThatStopsReadingForFiveSeconds) {
    stalledClient(5);
}

// A flowmeter report whose ten volumes are base..base+9 (divisor 1): long figures, so that
// a few frames make many bytes for the client. Its client message.
Bytes flowPayload(uint64_t base) {
    Bytes p(90, 0);
    for (std::size_t k = 0; k < 10; ++k) {
        p[9 * k] = 1;
        for (std::size_t b = 0; b < 8; ++b) {
            p[9 * k + 1 + b] = static_cast<unsigned char>((base + k) >> (56 - 8 * b));
        }
    }
    return p;
}

std::string flowMessage(uint64_t base) {
    std::string message = "flowmeter_flow:";
    for (uint64_t k = 0; k < 10; ++k) {
        message += std::to_string(base + k) + (k < 9 ? "," : ";");
    }
    return message;
}

// The bound itself: while the client does not read, a board reports far more than the
// daemon keeps for a client. Memory stays bounded and, reading again, the client ends with
// the board's latest figure.
TEST(FaultsE2E, StalledClientBehindABurstOfReportsGetsTheLatest) {
    Daemon daemon;
    RawBoard board(12);
    daemon.dir.link("ttyUSB0", board.slavePath());
    FeedClient client(daemon.port, 4096);
    ASSERT_TRUE(client.waitFor("device_connected:12;", 0, 10000ms));
    const pid_t pid = daemon.process->pid();
    const ProcStats before = restingStats(pid);
    const std::size_t acked = board.hostAcks().size();
    client.pauseReading(true);
    const std::size_t mark = client.size();

    // About 7 MB of messages: more than the daemon's socket buffer (up to 4 MB on loopback)
    // and its queue together.
    constexpr uint64_t BASE = 1000000000000000;
    constexpr uint64_t REPORTS = 40000;
    constexpr uint64_t BATCH = 500;
    long peakRss = before.rssKb;
    for (uint64_t first = 1; first <= REPORTS; first += BATCH) {
        Bytes batch;
        for (uint64_t n = first; n < first + BATCH; ++n) {
            Bytes frame = board.frame(codes::FLOW, flowPayload(BASE + 10 * n));
            batch.insert(batch.end(), frame.begin(), frame.end());
        }
        ASSERT_TRUE(board.write(batch, 10000ms));
        peakRss = std::max(peakRss, procStats(pid).rssKb);
    }
    // Every report read and acknowledged while the client still does not read.
    ASSERT_TRUE(waitUntil([&] { return board.hostAcks().size() >= acked + REPORTS; }, 60000ms));
    const ProcStats stalled = procStats(pid);
    peakRss = std::max(peakRss, stalled.rssKb);

    client.pauseReading(false);
    const auto resumed = Clock::now();
    const std::string latest = flowMessage(BASE + 10 * REPORTS);
    ASSERT_TRUE(client.waitFor(latest, mark, 15000ms));
    const double caughtUp = secondsSince(resumed);
    const std::size_t delivered = client.count("flowmeter_flow", mark);
    EXPECT_EQ(client.messages(mark).back(), latest) << "nothing older after the latest";
    figure(
        "burst of %llu reports behind a stalled client: %zu delivered, the latest %.2f s after "
        "reading again",
        static_cast<unsigned long long>(REPORTS), delivered, caughtUp);
    figure("burst: before %s; stalled %s; peak RSS %ld kB", describe(before).c_str(),
           describe(stalled).c_str(), peakRss);
    // The daemon keeps at most 10,000 messages for a client besides what its socket holds: the
    // oldest went.
    EXPECT_LT(delivered, REPORTS);
    expectRssWithin(before, peakRss, 16 * 1024);
    EXPECT_EQ(daemon.count("Connection established."), 1u);
    client.send("flowmeter_reset:1;");
    EXPECT_TRUE(waitUntil([&] { return hasFrame(board.hostFrames(), codes::FLOW_RESET, {}); }));
}

// Client connections have TCP keepalive with a timeout of about 30 s; without it a dead client
// would hold the one client slot for the kernel's retransmission limit (~15 min). These two
// take about that timeout each, so they are left out of `make test`; run them with
// --gtest_also_run_disabled_tests.
// "Silently dies" is a client machine that loses power or its cable: no FIN, no RST, and no
// ACK either. The test's client makes its kernel drop everything from the daemon (a socket
// filter), so the daemon's data and keepalive probes go unanswered, as they would. (A proxy
// that just stops forwarding would still ACK and shrink its window: that is a stalled reader,
// the case above.) Takes about the user timeout.
TEST(FaultsE2E, DISABLED_SilentlyDeadClientIsDroppedAndTheNextServed) {
    SimBench bench({"delaymeter=ttyUSB0", "flowmeter=ttyUSB1"});
    FeedClient dead(bench.port());
    ASSERT_TRUE(dead.waitFor("device_connected:12;", 0, 10000ms));
    ASSERT_TRUE(dead.dieSilently());
    const auto died = Clock::now();
    // Waits in the listen queue behind the dead connection.
    FeedClient next(bench.port());
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(next.waitFor("device_connected:12;", 0, 90000ms));
    figure("silently dead client (telemetry flowing) dropped after %.1f s", secondsSince(died));
    expectServed(bench, next, {"ttyUSB0", 5});
    expectServed(bench, next, {"ttyUSB1", 12});
    EXPECT_EQ(bench.daemonCount("Connection established."), 2u);
}

// As above, with nothing to send: only keepalive probes can find the dead client.
TEST(FaultsE2E, DISABLED_SilentlyDeadIdleClientIsDropped) {
    SimBench bench({"delaymeter=spare0"});
    FeedClient dead(bench.port());
    ASSERT_TRUE(dead.connected());
    ASSERT_TRUE(waitUntil([&] { return bench.daemonCount("Connection established.") == 1; }));
    ASSERT_TRUE(dead.dieSilently());
    const auto died = Clock::now();
    FeedClient next(bench.port());
    ASSERT_TRUE(next.connected());
    ASSERT_TRUE(
        waitUntil([&] { return bench.daemonCount("Connection established.") == 2; }, 90000ms));
    figure("silently dead idle client dropped after %.1f s", secondsSince(died));
    bench.link("ttyUSB0", bench.slavePath("spare0"));
    EXPECT_TRUE(next.waitFor("device_connected:5;", 0, 10000ms));
    expectServed(bench, next, {"spare0", 5});
}

TEST(FaultsE2E, ThousandClientReconnects) {
    reconnects(1000);
}

// ---- Boards coming and going ----

TEST(FaultsE2E, TwentyPlugCyclesLeaveNothingBehind) {
    plugCycles(20, 10);
}

// ---- Nothing lost ----

TEST(FaultsE2E, ShortSoakLosesNothing) {
    nothingLostSoak(15);
}
