#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/recorder.h"
#include "testsupport.h"

namespace {

using capture::Kind;
using capture::Record;

Record numbered(std::uint8_t n) {
    Record record;
    record.microseconds = 1700000000000000 + n;
    record.kind = Kind::Noise;
    record.port = "ttyUSB0";
    record.payload = {n};
    return record;
}

// A full queue drops records, counted, and a gap record with their count marks their place:
// the records around it keep their order.
TEST(CaptureRecorder, FullQueueDropsAndMarksTheGap) {
    testing_support::TempDir dir;
    capture::RecorderSettings settings;
    settings.path = dir.path() + "/c.pcap";
    settings.queueRecords = 4;
    capture::Recorder recorder(settings);
    // The writer is not running yet: the queue takes four, the other six are dropped.
    for (std::uint8_t n = 0; n < 10; ++n) {
        recorder.add(numbered(n));
    }
    EXPECT_EQ(recorder.dropped(), 6u);
    recorder.start();
    ASSERT_TRUE(testing_support::waitUntil([&] { return recorder.written() == 4; }));
    recorder.add(numbered(10));
    recorder.add(numbered(11));
    recorder.stop();

    std::vector<Record> records;
    std::string error;
    ASSERT_TRUE(capture::readAll(settings.path, records, error)) << error;
    std::vector<std::string> seen;
    for (const Record& record : records) {
        seen.push_back(record.kind == Kind::Gap ? "gap " + std::to_string(capture::gapCount(record))
                                                : std::to_string(record.payload.at(0)));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"0", "1", "2", "3", "gap 6", "10", "11"}));
}

}  // namespace
