// The sender thread over a real pseudo-terminal: handshake, report schedules, numbered
// commands with their tries, and stopping.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/flowmeter.h"
#include "bench/stand.h"
#include "boardoptions.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/outbox.h"
#include "testsupport.h"

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Frame {
    Clock::time_point at;
    Bytes bytes;
};

// Cuts what the host writes to the board side into frames, with their arrival times.
class FrameTap {
public:
    explicit FrameTap(const Pty& pty) : fd_(pty.master()) {}

    // Reads until `count` frames have arrived (or the timeout passed).
    std::vector<Frame> take(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        auto deadline = Clock::now() + timeout;
        while (frames_.size() < count && Clock::now() < deadline) {
            pump(10ms);
        }
        return pop(std::min(count, frames_.size()));
    }

    // Everything that arrives within the period.
    std::vector<Frame> during(std::chrono::milliseconds period) {
        auto deadline = Clock::now() + period;
        while (Clock::now() < deadline) {
            pump(10ms);
        }
        return pop(frames_.size());
    }

private:
    void pump(std::chrono::milliseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
            return;
        }
        unsigned char buffer[4096];
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        pending_.insert(pending_.end(), buffer, buffer + n);
        while (pending_.size() >= 5) {
            ASSERT_TRUE(pending_[0] == 0xA5 && pending_[1] == 0xA5) << hex(pending_);
            std::size_t size = pending_[2] == 0x33    ? 5
                               : pending_.size() >= 7 ? pending_[6] + 8u
                                                      : 0;
            if (size == 0 || pending_.size() < size) {
                break;
            }
            frames_.push_back({Clock::now(), Bytes(pending_.begin(), pending_.begin() + size)});
            pending_.erase(pending_.begin(), pending_.begin() + size);
        }
    }

    std::vector<Frame> pop(std::size_t count) {
        std::vector<Frame> out(frames_.begin(), frames_.begin() + count);
        frames_.erase(frames_.begin(), frames_.begin() + count);
        return out;
    }

    int fd_;
    Bytes pending_;
    std::vector<Frame> frames_;
};

std::vector<std::string> hexes(const std::vector<Frame>& frames) {
    std::vector<std::string> out;
    for (const Frame& frame : frames) {
        out.push_back(hex(frame.bytes));
    }
    return out;
}

Bytes scheduleEntry(unsigned char code, uint32_t period) {
    return {0x00,
            code,
            0x04,
            static_cast<unsigned char>(period >> 24),
            static_cast<unsigned char>(period >> 16),
            static_cast<unsigned char>(period >> 8),
            static_cast<unsigned char>(period)};
}

// The three handshake frames numbered from `first`.
std::vector<std::string> handshake(unsigned char first) {
    return {hex(dataFrame(first, codes::VERSION, 2, {})),
            hex(dataFrame(static_cast<unsigned char>(first + 1), codes::SCHEDULE, 1, {0xFF})),
            hex(dataFrame(static_cast<unsigned char>(first + 2), codes::SCHEDULE, 1,
                          scheduleEntry(codes::VERSION, 1000)))};
}

std::vector<std::string> schedule(const std::vector<std::pair<unsigned char, uint32_t>>& entries,
                                  unsigned char first) {
    std::vector<std::string> out;
    for (const auto& [code, period] : entries) {
        out.push_back(hex(dataFrame(first++, codes::SCHEDULE, 1, scheduleEntry(code, period))));
    }
    return out;
}

const ScheduleEntries CRIT_ENTRIES = scheduleEntries(known_devices::CRIT0303);
const ScheduleEntries STAND_ENTRIES = scheduleEntries(known_devices::STAND);
const ScheduleEntries FLOWMETER_ENTRIES = scheduleEntries(known_devices::FLOWMETER);

const ChannelOptions NO_THREADS =
    testing_support::boardOptions(false, std::chrono::milliseconds(0));

// A board on a pseudo-terminal with a channel whose sender alone runs once start() is called.
struct Board {
    Board() : channel(pty.openSlave(), NO_THREADS), tap(pty) {}
    void start() { channel.sendManager->start(); }
    Pty pty;
    Channel channel;
    FrameTap tap;
};

}  // namespace

TEST(SendManagerHandshake, RepeatsTheThreeFramesNumberedConsecutively) {
    Board board;
    board.start();
    std::vector<Frame> frames = board.tap.take(9);
    ASSERT_EQ(frames.size(), 9u);
    EXPECT_EQ(hexes({frames.begin(), frames.begin() + 3}),
              (std::vector<std::string>{"A5 A5 0F 00 02 02 00 DE", "A5 A5 0F 01 04 01 01 FF 99",
                                        "A5 A5 0F 02 04 01 07 00 02 04 00 00 03 E8 DB"}));
    EXPECT_EQ(hexes({frames.begin() + 3, frames.begin() + 6}), handshake(3));
    EXPECT_EQ(hexes({frames.begin() + 6, frames.end()}), handshake(6));
    for (std::size_t group : {3u, 6u}) {
        auto gap = frames[group].at - frames[group - 3].at;
        EXPECT_GT(gap, 350ms);
        EXPECT_LT(gap, 2000ms);
    }
    EXPECT_FALSE(board.channel.isConfigured());
}

TEST(SendManagerHandshake, UnidentifiedTypesStayInTheHandshake) {
    // A board that named a type the decoder does not take (CRSD) or nothing known at all.
    Board crsd;
    Board unknown;
    crsd.channel.setDevice(known_devices::CRSD);
    unknown.channel.setDevice(99);
    crsd.start();
    unknown.start();
    for (Board* board : {&crsd, &unknown}) {
        std::vector<Frame> frames = board->tap.take(6);
        ASSERT_EQ(frames.size(), 6u);
        EXPECT_EQ(hexes({frames.begin(), frames.begin() + 3}), handshake(0));
        EXPECT_EQ(hexes({frames.begin() + 3, frames.end()}), handshake(3));
        EXPECT_FALSE(board->channel.isConfigured());
    }
}

TEST(SendManagerSchedule, EachDeviceTypeGetsItsScheduleOnce) {
    struct Case {
        int device;
        std::vector<std::string> frames;
    };
    CRIT::restoreDefaults();
    std::vector<std::string> delay = schedule(scheduleEntries(known_devices::DELAYMETER), 0);
    delay.push_back(hex(dataFrame(1, codes::DELAY_SENSITIVITY, 1, {0x00, 0x32, 0xC8, 0x00, 0x00})));
    const std::vector<Case> cases = {
        {known_devices::CRIT0303, schedule(CRIT_ENTRIES, 0)},
        {known_devices::CRIT0304, schedule(CRIT_ENTRIES, 0)},
        {known_devices::STAND, schedule(STAND_ENTRIES, 0)},
        {known_devices::STAND62, schedule(STAND_ENTRIES, 0)},
        {known_devices::FLOWMETER, schedule(FLOWMETER_ENTRIES, 0)},
        {known_devices::DELAYMETER, delay},
    };
    // All boards at once, each identified before its sender's first pass.
    std::vector<std::unique_ptr<Board>> boards;
    for (const Case& c : cases) {
        boards.push_back(std::make_unique<Board>());
        boards.back()->channel.setDevice(static_cast<unsigned char>(c.device));
        boards.back()->channel.setDefined();
        boards.back()->start();
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(hexes(boards[i]->tap.take(cases[i].frames.size())), cases[i].frames)
            << "device " << cases[i].device;
        EXPECT_TRUE(waitUntil([&] { return boards[i]->channel.isConfigured(); }))
            << "device " << cases[i].device;
    }
    // Longer than a handshake period: no handshake and no second schedule.
    auto quietUntil = Clock::now() + 700ms;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(quietUntil - Clock::now());
        EXPECT_TRUE(hexes(boards[i]->tap.during(std::max(left, 20ms))).empty())
            << "device " << cases[i].device;
    }
}

TEST(SendManagerSchedule, IdentificationThenTimeoutStartsOver) {
    Board board;
    Channel& channel = board.channel;
    board.start();
    ASSERT_EQ(hexes(board.tap.take(3)), handshake(0));
    channel.setDevice(known_devices::CRIT0303);
    channel.setDefined();
    ASSERT_TRUE(waitUntil([&] { return channel.isConfigured(); }));
    std::vector<Frame> frames = board.tap.during(700ms);
    // A slow test thread may have let further handshakes through before the identification.
    std::size_t handshakes = frames.size() >= 10 ? frames.size() - 10 : 0;
    ASSERT_EQ(handshakes % 3, 0u) << ::testing::PrintToString(hexes(frames));
    unsigned char next = 3;
    for (std::size_t i = 0; i < handshakes; i += 3, next += 3) {
        EXPECT_EQ(hexes({frames.begin() + i, frames.begin() + i + 3}), handshake(next));
    }
    EXPECT_EQ(hexes({frames.begin() + handshakes, frames.end()}), schedule(CRIT_ENTRIES, next));
    next = static_cast<unsigned char>(next + 10);

    // The watcher's timeout: the board is unknown again.
    channel.setDefined(false);
    channel.setConfigured(false);
    channel.setDevice(known_devices::UNKNOWN);
    EXPECT_EQ(hexes(board.tap.take(3)), handshake(next));
    next = static_cast<unsigned char>(next + 3);
    channel.setDevice(known_devices::STAND62);
    channel.setDefined();
    ASSERT_TRUE(waitUntil([&] { return channel.isConfigured(); }));
    frames = board.tap.during(600ms);
    handshakes = frames.size() >= 8 ? frames.size() - 8 : 0;
    next = static_cast<unsigned char>(next + handshakes);
    EXPECT_EQ(hexes({frames.begin() + handshakes, frames.end()}), schedule(STAND_ENTRIES, next));
}

TEST(SendManagerSchedule, HandshakeClearsAStaleConfiguredFlag) {
    // A timeout racing with the configuration can leave `configured` set on an unknown board.
    Board board;
    board.channel.setConfigured();
    board.start();
    ASSERT_EQ(hexes(board.tap.take(3)), handshake(0));
    board.channel.setDevice(known_devices::FLOWMETER);
    board.channel.setDefined();
    EXPECT_EQ(hexes(board.tap.take(4)), schedule(FLOWMETER_ENTRIES, 3));
}

namespace {

// A board that is identified and configured: the sender only serves its queue.
struct QuietBoard : Board {
    explicit QuietBoard(unsigned char firstNumber) {
        channel.setDefined();
        channel.setConfigured();
        channel.sendManager->frameCounter = firstNumber;
    }
};

std::vector<unsigned char> numbers(const std::vector<Frame>& frames) {
    std::vector<unsigned char> out;
    for (const Frame& frame : frames) {
        out.push_back(frame.bytes[3]);
    }
    return out;
}

}  // namespace

TEST(SendManagerQueue, TriesUntilAcknowledgedThenMovesOn) {
    QuietBoard board(40);
    board.channel.receiveManager->startReader();
    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(CRIT::reset());
    commands.push_back(Flowmeter::reset());
    commands.push_back(CRIT::getInjStatus());
    board.channel.sendManager->enqueue(std::move(commands));
    board.start();

    std::vector<Frame> first = board.tap.take(1);
    ASSERT_EQ(hexes(first),
              std::vector<std::string>{hex(dataFrame(40, codes::DELAY_RESET, 1, {}))});
    board.pty.write(ackFrame(40));  // the board answers number 40 only
    // Written once, unless a busy machine held the ACK past a try.
    std::vector<Frame> frames;
    int again = 0;
    for (int i = 0; i < 9 && frames.size() < 6; ++i) {
        for (Frame& frame : board.tap.take(1)) {
            if (frame.bytes[3] == 40) {
                ++again;
            } else {
                frames.push_back(frame);
            }
        }
    }
    EXPECT_LE(again, 1);
    EXPECT_EQ(numbers(frames), (std::vector<unsigned char>{41, 41, 41, 42, 42, 42}));
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(hex(frames[0].bytes), hex(dataFrame(41, codes::FLOW_RESET, 1, {})));
    EXPECT_EQ(frames[0].bytes, frames[2].bytes);
    EXPECT_EQ(hex(frames[3].bytes), hex(dataFrame(42, codes::INJECTOR_STATUS, 2, {})));
    // The tries wait for the board in between.
    EXPECT_GE(frames[2].at - frames[0].at, 15ms);
    // Dropped after the third try.
    EXPECT_TRUE(board.tap.during(150ms).empty());
    EXPECT_EQ(board.channel.sendManager->queued(), 0u);
    EXPECT_EQ(board.channel.counters().dropped.load(), 2u);
}

TEST(SendManagerQueue, BoardAckThroughTheReaderStopsTheTries) {
    QuietBoard board(7);
    board.channel.receiveManager->startReader();
    board.start();
    // An ACK that came before the command went out is not one for it.
    console::drain();
    testing::internal::CaptureStdout();
    board.pty.write(ackFrame(7));
    bool stored = waitUntil([&] { return board.channel.getAckNumber() == 7; });
    console::drain();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(stored);
    Stand::restoreDefaults();
    Stand::rpm = 1500;
    Stand::rotateDirection = 1;
    board.channel.sendManager->enqueue(Stand::setRPM());
    Stand::restoreDefaults();
    const std::string frame = hex(dataFrame(7, codes::ROTATION_SPEED, 1, {0x05, 0xDC, 0x01}));
    EXPECT_EQ(hexes(board.tap.take(1)), std::vector<std::string>{frame});
    board.pty.write(ackFrame(7));
    // The tries stop; a busy machine may let one more through before the ACK is in.
    std::vector<std::string> more = hexes(board.tap.during(150ms));
    EXPECT_LE(more.size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return board.channel.counters().commandsSent.load() == 1; }));
    EXPECT_EQ(board.channel.counters().dropped.load(), 0u);
}

TEST(SendManagerQueue, FrameCounterWraps) {
    QuietBoard board(254);  // the board never acknowledges
    std::vector<std::unique_ptr<Command>> commands;
    for (int i = 0; i < 4; ++i) {
        commands.push_back(CRIT::reset());
    }
    board.channel.sendManager->enqueue(std::move(commands));
    board.start();
    // Number 0 is tried like any other: no ACK has come for it.
    EXPECT_EQ(numbers(board.tap.take(12)),
              (std::vector<unsigned char>{254, 254, 254, 255, 255, 255, 0, 0, 0, 1, 1, 1}));
}

TEST(SendManagerQueue, FreshChannelTriesCommandZeroThreeTimes) {
    // Nothing acknowledged yet is not an ACK for number 0.
    QuietBoard board(0);
    EXPECT_EQ(board.channel.getAckNumber(), Channel::NO_ACK);
    board.channel.sendManager->enqueue(CRIT::reset());
    board.start();
    EXPECT_EQ(numbers(board.tap.take(3)), (std::vector<unsigned char>{0, 0, 0}));
    ASSERT_TRUE(waitUntil([&] { return board.channel.counters().dropped.load() == 1; }));
    EXPECT_EQ(board.channel.counters().commandsSent.load(), 1u);
    EXPECT_EQ(board.channel.counters().retries.load(), 2u);
}

TEST(SendManagerQueue, OnlyWholeWritesCountAsSent) {
    // The read end of a pipe refuses every write: nothing reaches the line.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FileDescriptor writeEnd(fds[1]);
    Channel channel(FileDescriptor(fds[0]), NO_THREADS);
    channel.sendManager->writeOnce(channel.sendManager->getVersion());
    EXPECT_FALSE(channel.sendManager->sendWithRetries(CRIT::reset()));
    const ChannelCounters& counters = channel.counters();
    EXPECT_EQ(counters.commandsSent.load(), 0u);
    EXPECT_EQ(counters.retries.load(), 0u);
    EXPECT_EQ(counters.writeFailures.load(), 4u);
    EXPECT_EQ(counters.dropped.load(), 1u);
    EXPECT_EQ(channel.sendManager->frameCounter, 2);
}

TEST(SendManagerBuild, ScheduleEntryCarriesThePeriodBigEndian) {
    Pty pty;
    Channel channel(pty.openSlave(), NO_THREADS);
    channel.sendManager->frameCounter = 9;
    std::unique_ptr<Command> entry = channel.sendManager->addSchedule(codes::ROTATION_SPEED, 1500);
    EXPECT_EQ(entry->number(), 9);
    EXPECT_EQ(hex(Bytes(entry->data, entry->data + entry->length())), "00 29 04 00 00 05 DC");
}

TEST(SendManagerStop, RetireReturnsPromptlyDuringTheHandshakePause) {
    Board board;
    board.start();
    ASSERT_EQ(board.tap.take(3).size(), 3u);  // now in the half-second pause
    auto start = Clock::now();
    board.channel.retire();
    EXPECT_LT(Clock::now() - start, 300ms);
    EXPECT_TRUE(board.tap.during(700ms).empty());
}
