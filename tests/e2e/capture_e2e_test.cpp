// The daemon's capture (--capture) read back: what a board put on its line and what the daemon
// wrote to it, record for record, and the client's messages both ways.
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/record.h"
#include "feedclient.h"
#include "protocol/codes.h"
#include "rawboard.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;
using namespace fault_e2e;
using capture::Direction;
using capture::Kind;
using capture::Record;

namespace {

std::vector<Record> readCapture(const std::string& path) {
    std::vector<Record> records;
    std::string error;
    EXPECT_TRUE(capture::readAll(path, records, error)) << path << ": " << error;
    return records;
}

std::vector<Record> select(const std::vector<Record>& records, Direction direction,
                           const std::string& port = "") {
    std::vector<Record> chosen;
    for (const Record& record : records) {
        if (record.direction == direction && record.port == port) {
            chosen.push_back(record);
        }
    }
    return chosen;
}

std::vector<std::string> texts(const std::vector<Record>& records) {
    std::vector<std::string> all;
    for (const Record& record : records) {
        all.emplace_back(record.payload.begin(), record.payload.end());
    }
    return all;
}

std::vector<std::string> withoutSemicolons(std::vector<std::string> messages) {
    for (std::string& message : messages) {
        message.pop_back();
    }
    return messages;
}

bool hasRecord(const std::vector<Record>& records, Kind kind, const Bytes& bytes,
               std::uint8_t flags = 0) {
    return std::any_of(records.begin(), records.end(), [&](const Record& r) {
        return r.kind == kind && r.payload == bytes && r.flags == flags;
    });
}

// The frames of `records` of one kind, without those flagged with a bad CRC.
std::vector<Bytes> soundFrames(const std::vector<Record>& records, Kind kind) {
    std::vector<Bytes> frames;
    for (const Record& record : records) {
        if (record.kind == kind && record.flags == 0) {
            frames.push_back(record.payload);
        }
    }
    return frames;
}

std::vector<Bytes> simFrames(const std::vector<sim_e2e::SimFrame>& frames) {
    std::vector<Bytes> all;
    for (const sim_e2e::SimFrame& frame : frames) {
        all.push_back(frame.bytes);
    }
    return all;
}

// `part` is a run of consecutive entries of `whole`.
bool isRunOf(const std::vector<Bytes>& part, const std::vector<Bytes>& whole) {
    return !part.empty() &&
           std::search(whole.begin(), whole.end(), part.begin(), part.end()) != whole.end();
}

// The daemon on its own device directory, capturing to `file` inside another directory.
struct CapturingDaemon {
    explicit CapturingDaemon(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--dev-dir", dir.path(), "--capture", file};
        args.insert(args.end(), extra.begin(), extra.end());
        process = startDaemon(args, port);
    }
    TempDir dir;
    TempDir captures;
    const std::string file = captures.path() + "/bench.pcap";
    uint16_t port = 0;
    std::unique_ptr<Process> process;
};

}  // namespace

// A hand-driven board with noise, a bad CRC and a frame with one start byte mixed in: the
// board's records, concatenated, are exactly its bytes; the daemon's writes are exactly what
// the board read; the client's messages are all there, both ways.
TEST(CaptureE2E, RecordsEveryFrameAndMessageOfASession) {
    CapturingDaemon daemon;
    RawBoard board(5);
    daemon.dir.link("ttyUSB0", board.slavePath());
    FeedClient client(daemon.port);
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    client.send("delaymeter_sensitivity:0.5;");

    const Bytes good = board.frame(codes::DELAY_FIGURES, delayPayload(4001));
    Bytes bad = board.frame(codes::DELAY_FIGURES, delayPayload(4002));
    bad.back() ^= 0x5A;
    const Bytes full = board.frame(codes::DELAY_FIGURES, delayPayload(4003));
    const Bytes oneStart(full.begin() + 1, full.end());
    const Bytes last = board.frame(codes::DELAY_FIGURES, delayPayload(4004));
    Bytes line = {0x01, 0xA5, 0x02};
    for (const Bytes* part : {&good, static_cast<const Bytes*>(&bad), &oneStart}) {
        line.insert(line.end(), part->begin(), part->end());
    }
    line.insert(line.end(), {0xA5, 0xA5, 0xA5, 0x77});
    line.insert(line.end(), last.begin(), last.end());
    ASSERT_TRUE(board.write(line));
    ASSERT_TRUE(client.waitFor(delayMessage(4004), 0, 5000ms));

    // On the disk within a second, while the daemon runs.
    EXPECT_TRUE(waitUntil(
        [&] {
            return hasRecord(select(readCapture(daemon.file), Direction::FromBoard, "ttyUSB0"),
                             Kind::DataFrame, last);
        },
        3000ms));
    ASSERT_TRUE(waitUntil([&] { return !board.hostFrames().empty(); }));
    ASSERT_EQ(daemon.process->stop(), 0);
    ASSERT_TRUE(waitUntil([&] { return client.ended(); }));

    const std::vector<Record> records = readCapture(daemon.file);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().kind, Kind::PortOpened);
    EXPECT_EQ(records.back().kind, Kind::PortClosed);

    const std::vector<Record> read = select(records, Direction::FromBoard, "ttyUSB0");
    Bytes stream;
    for (const Record& record : read) {
        stream.insert(stream.end(), record.payload.begin(), record.payload.end());
    }
    EXPECT_NE(std::search(stream.begin(), stream.end(), line.begin(), line.end()), stream.end())
        << "the records of the port, end to end, hold its bytes in order";
    EXPECT_TRUE(hasRecord(read, Kind::DataFrame, good));
    EXPECT_TRUE(hasRecord(read, Kind::DataFrame, bad, capture::FLAG_CRC_BAD));
    EXPECT_TRUE(hasRecord(read, Kind::DataFrame, oneStart));
    EXPECT_TRUE(hasRecord(read, Kind::DataFrame, last));
    EXPECT_EQ(std::count_if(read.begin(), read.end(),
                            [](const Record& r) { return r.kind == Kind::AckFrame; }),
              static_cast<long>(board.hostFrames().size()))
        << "the board acknowledged each of the daemon's frames";

    std::vector<Bytes> acks, wroteData;
    std::vector<unsigned char> wroteAcks;
    for (const Record& record : select(records, Direction::ToBoard, "ttyUSB0")) {
        (record.kind == Kind::AckFrame ? acks : wroteData).push_back(record.payload);
    }
    for (const Bytes& ack : acks) {
        ASSERT_EQ(ack.size(), 5u);
        wroteAcks.push_back(ack[3]);
    }
    std::vector<Bytes> hostData;
    for (const HostFrame& frame : board.hostFrames()) {
        hostData.push_back(frame.bytes);
    }
    EXPECT_EQ(wroteData, hostData);
    EXPECT_EQ(hex(wroteAcks), hex(board.hostAcks()));

    EXPECT_EQ(texts(select(records, Direction::FromClient)),
              std::vector<std::string>{"delaymeter_sensitivity:0.5"});
    EXPECT_EQ(texts(select(records, Direction::ToClient)), withoutSemicolons(client.messages()));
}

// Breadth: benchsim's boards, one of them with noise and bad CRCs. Per board, the sound data
// frames the capture shows are an unbroken run of what the board sent, and the daemon's data
// frames are exactly what the board read.
TEST(CaptureE2E, MatchesWhatSimulatedBoardsSawOnTheirLines) {
    TempDir captures;
    const std::string file = captures.path() + "/sim.pcap";
    sim_e2e::SimBench bench(
        {"stand62=ttyUSB0", "flowmeter=ttyUSB1", "delaymeter=ttyUSB2,garbage,corrupt=20"},
        {"--capture", file});
    FeedClient client(bench.port());
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    ASSERT_TRUE(client.waitForCount("delay_meter", 5, 10000ms));
    ASSERT_EQ(bench.daemon().stop(), 0);
    ASSERT_TRUE(waitUntil([&] { return client.ended(); }));

    const std::vector<Record> records = readCapture(file);
    for (const std::string board : {"ttyUSB0", "ttyUSB1", "ttyUSB2"}) {
        SCOPED_TRACE(board);
        const std::vector<Bytes> written =
            soundFrames(select(records, Direction::ToBoard, board), Kind::DataFrame);
        EXPECT_TRUE(waitUntil([&] { return bench.frames(board, true).size() >= written.size(); }));
        EXPECT_EQ(simFrames(bench.frames(board, true)), written);
        EXPECT_TRUE(
            isRunOf(soundFrames(select(records, Direction::FromBoard, board), Kind::DataFrame),
                    simFrames(bench.frames(board, false))));
    }
    const std::vector<Record> noisy = select(records, Direction::FromBoard, "ttyUSB2");
    EXPECT_TRUE(std::any_of(noisy.begin(), noisy.end(),
                            [](const Record& r) { return r.kind == Kind::Noise; }));
    EXPECT_TRUE(std::any_of(noisy.begin(), noisy.end(),
                            [](const Record& r) { return r.flags == capture::FLAG_CRC_BAD; }));
    EXPECT_EQ(texts(select(records, Direction::ToClient)), withoutSemicolons(client.messages()));
}
