#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/record.h"
#include "testsupport.h"

namespace {

using capture::Direction;
using capture::Kind;
using capture::Record;
using testing_support::TempDir;

Record makeRecord(std::int64_t us, Direction direction, Kind kind, std::string port,
                  std::vector<std::uint8_t> payload, std::uint8_t flags = 0) {
    Record record;
    record.microseconds = us;
    record.direction = direction;
    record.kind = kind;
    record.port = std::move(port);
    record.payload = std::move(payload);
    record.flags = flags;
    return record;
}

void expectSame(const Record& a, const Record& b) {
    EXPECT_EQ(a.microseconds, b.microseconds);
    EXPECT_EQ(a.direction, b.direction);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.payload, b.payload);
}

TEST(CaptureRecord, FileKeepsEveryRecordInOrder) {
    const std::vector<Record> written = {
        makeRecord(1700000000123456, Direction::FromBoard, Kind::DataFrame, "ttyUSB0",
                   {0xA5, 0xA5, 0x0F, 0x01, 0x02, 0x01, 0x00, 0x55}, capture::FLAG_CRC_BAD),
        makeRecord(1700000000123999, Direction::ToBoard, Kind::AckFrame, "ttyUSB0",
                   {0xA5, 0xA5, 0x33, 0x05, 0x3F}),
        makeRecord(1700000001000000, Direction::FromClient, Kind::Text, "",
                   {'d', 'e', 'v', 'i', 'c', 'e', '_', 'r', 'p', 'm', ':', '1'}),
        capture::gapRecord(1700000002000000, 123456789012ULL),
        makeRecord(1700000003000000, Direction::Daemon, Kind::PortClosed, "ttyACM1", {}),
        // After 2038: the file's seconds no longer fit a signed 32-bit number.
        makeRecord(2208988800999999, Direction::Daemon, Kind::PortOpened, "ttyUSB1", {}),
    };
    TempDir dir;
    const std::string path = dir.path() + "/c.pcap";
    std::string error;
    {
        capture::PcapWriter writer;
        ASSERT_TRUE(writer.open(path, error)) << error;
        for (const Record& record : written) {
            ASSERT_TRUE(writer.write(record, error)) << error;
        }
        ASSERT_TRUE(writer.flush(error)) << error;
    }
    std::vector<Record> read;
    ASSERT_TRUE(capture::readAll(path, read, error)) << error;
    ASSERT_EQ(read.size(), written.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        expectSame(read[i], written[i]);
    }
    EXPECT_EQ(capture::gapCount(read[3]), 123456789012ULL);
}

TEST(CaptureRecord, MalformedPacketsAndForeignFilesAreRefused) {
    Record record;
    const std::vector<std::uint8_t> shortName = {1, 0, 0, 0, 9, 't', 't'};
    EXPECT_FALSE(capture::decode(shortName.data(), shortName.size(), 0, record));
    const std::vector<std::uint8_t> otherVersion = {2, 0, 0, 0, 0};
    EXPECT_FALSE(capture::decode(otherVersion.data(), otherVersion.size(), 0, record));

    TempDir dir;
    std::string error;
    std::vector<Record> records;
    EXPECT_FALSE(capture::readAll(dir.path() + "/missing.pcap", records, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
