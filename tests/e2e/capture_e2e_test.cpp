// The daemon's capture (--capture) read back: what a board put on its line and what the daemon
// wrote to it, record for record, and the client's messages both ways.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
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

    std::vector<Bytes> acks, wroteData;
    std::vector<unsigned char> wroteAcks;
    for (const Record& record : select(records, Direction::ToBoard, "ttyUSB0")) {
        (record.kind == Kind::AckFrame ? acks : wroteData).push_back(record.payload);
    }
    for (const Bytes& ack : acks) {
        ASSERT_EQ(ack.size(), 5u);
        wroteAcks.push_back(ack[3]);
    }
    // The board may still be reading the last of them.
    EXPECT_TRUE(waitUntil([&] {
        return board.hostFrames().size() >= wroteData.size() &&
               board.hostAcks().size() >= wroteAcks.size();
    }));
    std::vector<Bytes> hostData;
    for (const HostFrame& frame : board.hostFrames()) {
        hostData.push_back(frame.bytes);
    }
    EXPECT_EQ(wroteData, hostData);
    // The board's ACKs, read back: one per frame of the daemon's, in order (the daemon may
    // have stopped before the last of them came).
    std::vector<unsigned char> readAcks, hostNumbers;
    for (const Bytes& ack : soundFrames(read, Kind::AckFrame)) {
        readAcks.push_back(ack.at(3));
    }
    for (const Bytes& frame : hostData) {
        hostNumbers.push_back(frame.at(3));
    }
    ASSERT_FALSE(readAcks.empty());
    ASSERT_LE(readAcks.size(), hostNumbers.size());
    EXPECT_EQ(hex(readAcks),
              hex(Bytes(hostNumbers.begin(), hostNumbers.begin() + readAcks.size())));
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

// A long session of fast reports in a ring of three files of 1 MB: the oldest falls off, every
// file stays within its size and reads back whole.
TEST(CaptureE2E, RingKeepsAtMostItsFilesOfAtMostItsSize) {
    CapturingDaemon daemon({"--capture-size", "1", "--capture-files", "3"});
    RawBoard board(5);
    daemon.dir.link("ttyUSB0", board.slavePath());
    FeedClient client(daemon.port);
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    // About 130 bytes of records per report: 4 MB in all.
    constexpr int REPORTS = 30000;
    constexpr int BATCH = 500;
    Bytes last;
    for (int first = 1; first <= REPORTS; first += BATCH) {
        Bytes batch;
        for (int n = first; n < first + BATCH; ++n) {
            last = board.frame(codes::DELAY_FIGURES, delayPayload(n));
            batch.insert(batch.end(), last.begin(), last.end());
        }
        ASSERT_TRUE(board.write(batch, 10000ms));
    }
    ASSERT_TRUE(client.waitFor(delayMessage(REPORTS), 0, 30000ms));
    ASSERT_EQ(daemon.process->stop(), 0);

    std::size_t records = 0;
    for (const std::string suffix : {"", ".1", ".2"}) {
        SCOPED_TRACE(daemon.file + suffix);
        struct stat info {};
        ASSERT_EQ(::stat((daemon.file + suffix).c_str(), &info), 0);
        EXPECT_LE(info.st_size, 1 << 20);
        const std::vector<Record> all = readCapture(daemon.file + suffix);
        EXPECT_FALSE(all.empty());
        records += all.size();
    }
    EXPECT_GT(records, 3u * 6000) << "three files of records";
    struct stat info {};
    EXPECT_NE(::stat((daemon.file + ".3").c_str(), &info), 0) << "no fourth file";
    // A writer that falls behind the flood (both cores busy, a sanitizer) drops the newest
    // records, counted, and marks their place with a gap record: the last frame may be among
    // them then. Otherwise it is in FILE.
    const std::vector<Record> newest = readCapture(daemon.file);
    const bool dropped = std::any_of(newest.begin(), newest.end(),
                                     [](const Record& r) { return r.kind == Kind::Gap; });
    EXPECT_TRUE(dropped ||
                hasRecord(select(newest, Direction::FromBoard, "ttyUSB0"), Kind::DataFrame, last))
        << "the newest records are in FILE";
}

// logrotate's way: the file is moved away and SIGHUP makes the daemon start a new one under
// the name, while the moved file keeps what it had.
TEST(CaptureE2E, SighupAfterAMoveStartsANewFile) {
    CapturingDaemon daemon;
    RawBoard board(5);
    daemon.dir.link("ttyUSB0", board.slavePath());
    FeedClient client(daemon.port);
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    auto recorded = [&](const std::string& file, const Bytes& frame) {
        return hasRecord(select(readCapture(file), Direction::FromBoard, "ttyUSB0"),
                         Kind::DataFrame, frame);
    };
    const Bytes before = board.frame(codes::DELAY_FIGURES, delayPayload(7001));
    ASSERT_TRUE(board.write(before));
    ASSERT_TRUE(waitUntil([&] { return recorded(daemon.file, before); }));

    const std::string moved = daemon.file + ".moved";
    ASSERT_EQ(std::rename(daemon.file.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::kill(daemon.process->pid(), SIGHUP), 0);
    struct stat info {};
    ASSERT_TRUE(waitUntil([&] { return ::stat(daemon.file.c_str(), &info) == 0; }));
    const Bytes after = board.frame(codes::DELAY_FIGURES, delayPayload(7002));
    ASSERT_TRUE(board.write(after));
    ASSERT_TRUE(client.waitFor(delayMessage(7002))) << daemon.process->out();
    EXPECT_TRUE(waitUntil([&] { return recorded(daemon.file, after); }));
    EXPECT_TRUE(recorded(moved, before));
    EXPECT_FALSE(recorded(moved, after));
}

// A capture that cannot be written (its directory is a file) is said once, with the reason,
// and the bench is served as before; once the place is fixed, SIGHUP starts the capture.
TEST(CaptureE2E, UnwritablePlaceIsSaidOnceAndTheBenchIsServed) {
    TempDir dir, captures;
    const std::string notADirectory = captures.path() + "/notadir";
    std::fclose(std::fopen(notADirectory.c_str(), "w"));
    const std::string file = notADirectory + "/bench.pcap";
    uint16_t port = 0;
    std::unique_ptr<Process> daemon =
        startDaemon({"--dev-dir", dir.path(), "--capture", file}, port);
    RawBoard board(5);
    dir.link("ttyUSB0", board.slavePath());
    FeedClient client(port);
    ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms));
    ASSERT_TRUE(daemon->waitForOut("Capture to " + file + " failed: "));
    ASSERT_TRUE(board.write(board.frame(codes::DELAY_FIGURES, delayPayload(8001))));
    ASSERT_TRUE(client.waitFor(delayMessage(8001)));
    // Tried again on SIGHUP: the same reason is not said again.
    ASSERT_EQ(::kill(daemon->pid(), SIGHUP), 0);
    ASSERT_TRUE(board.write(board.frame(codes::DELAY_FIGURES, delayPayload(8002))));
    ASSERT_TRUE(client.waitFor(delayMessage(8002)));
    EXPECT_EQ(occurrences(daemon->out(), "Capture to "), 1u) << daemon->out();

    ASSERT_EQ(std::remove(notADirectory.c_str()), 0);
    ASSERT_EQ(::mkdir(notADirectory.c_str(), 0755), 0);
    ASSERT_EQ(::kill(daemon->pid(), SIGHUP), 0);
    ASSERT_TRUE(daemon->waitForOut("Capture: writing " + file + " again"));
    const Bytes later = board.frame(codes::DELAY_FIGURES, delayPayload(8003));
    ASSERT_TRUE(board.write(later));
    ASSERT_TRUE(client.waitFor(delayMessage(8003)));
    EXPECT_TRUE(waitUntil([&] {
        std::vector<Record> records;
        std::string error;
        return capture::readAll(file, records, error) &&
               hasRecord(select(records, Direction::FromBoard, "ttyUSB0"), Kind::DataFrame, later);
    }));
    EXPECT_EQ(daemon->stop(), 0);
}

namespace {

std::string contents(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            text.append(buffer, n);
        }
        std::fclose(file);
    }
    return text;
}

}  // namespace

// A shared capture directory where someone planted symbolic links under the capture's names,
// at a file of someone else's or at nothing yet: nothing is ever written through them, the
// capture is refused with its line, the bench is served as without it. Once the links are
// gone, SIGHUP starts a capture that others cannot read, whatever the umask.
TEST(CaptureE2E, PlantedLinksAreNeverWrittenThrough) {
    TempDir captures;
    const std::string file = captures.path() + "/bench.pcap";
    const std::string precious = captures.path() + "/precious";
    const std::string kept = "someone else's file\n";
    std::ofstream(precious) << kept;
    const std::string missing = captures.path() + "/missing";
    struct Case {
        const char* name;  // where the link is planted
        std::string target;
    };
    const Case cases[] = {
        {"bench.pcap", precious},
        {"bench.pcap", missing},
        {"bench.pcap.3", precious},  // the last name of the ring
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " -> " + c.target);
        const std::string link = captures.path() + "/" + c.name;
        ASSERT_EQ(::symlink(c.target.c_str(), link.c_str()), 0);
        TempDir dir;
        uint16_t port = 0;
        const mode_t umask = ::umask(0);
        std::unique_ptr<Process> daemon =
            startDaemon({"--dev-dir", dir.path(), "--capture", file}, port);
        ::umask(umask);
        RawBoard board(5);
        dir.link("ttyUSB0", board.slavePath());
        FeedClient client(port);
        ASSERT_TRUE(client.waitFor("device_connected:5;", 0, 10000ms)) << daemon->out();
        EXPECT_TRUE(daemon->waitForOut("Capture to " + file + " failed: " + link +
                                       " is a symbolic link, not a regular file; the bench is "
                                       "served without it, trying again every 10 s\n"))
            << daemon->out();
        const int figure = 9000 + ++n;
        ASSERT_TRUE(board.write(board.frame(codes::DELAY_FIGURES, delayPayload(figure))));
        ASSERT_TRUE(client.waitFor(delayMessage(figure))) << daemon->out();

        // Tried again on SIGHUP: still refused, said once.
        ASSERT_EQ(::kill(daemon->pid(), SIGHUP), 0);
        ASSERT_TRUE(board.write(board.frame(codes::DELAY_FIGURES, delayPayload(figure + 100))));
        ASSERT_TRUE(client.waitFor(delayMessage(figure + 100))) << daemon->out();
        EXPECT_EQ(occurrences(daemon->out(), "Capture to "), 1u) << daemon->out();
        EXPECT_EQ(contents(precious), kept);
        EXPECT_NE(::access(missing.c_str(), F_OK), 0) << "nothing made at the link's target";

        // The link gone, the capture starts, a file of the daemon's own.
        ASSERT_EQ(::unlink(link.c_str()), 0);
        ASSERT_EQ(::kill(daemon->pid(), SIGHUP), 0);
        ASSERT_TRUE(daemon->waitForOut("Capture: writing " + file + " again")) << daemon->out();
        struct stat info {};
        ASSERT_EQ(::lstat(file.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_EQ(daemon->stop(), 0);
        EXPECT_EQ(contents(precious), kept);
        ASSERT_EQ(::unlink(file.c_str()), 0);
    }
}
