#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
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

std::string contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// What is already under the ring's names when the recorder starts: an earlier capture goes down
// the ring and an empty one is removed, by name, never by writing to it: a hard link someone
// made to a file of theirs leaves that file as it was. The new file is the recorder's own.
TEST(CaptureRecorder, StartMovesWhatIsThereWithoutWritingToIt) {
    const std::string records(100, 'r');  // more than pcap's header: an earlier capture
    struct Case {
        const char* what;
        unsigned files;
        std::string atFile;              // what FILE holds at start, as a hard link to `theirs`
        bool ringOne;                    // FILE.1 holds an older capture
        std::vector<std::string> after;  // FILE.1, FILE.2, FILE.3 afterwards ("": none)
    };
    const Case cases[] = {
        {"a capture goes down the ring", 4, records, true, {records, "older", ""}},
        {"the oldest falls off", 2, records, true, {records, "", ""}},
        {"a ring of one: overwritten by name", 1, records, true, {"older", "", ""}},
        {"a header alone: removed", 4, "header", true, {"older", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing_support::TempDir dir;
        const std::string path = dir.path() + "/c.pcap";
        const std::string theirs = dir.path() + "/theirs";
        std::ofstream(theirs) << c.atFile;
        ASSERT_EQ(::link(theirs.c_str(), path.c_str()), 0);
        if (c.ringOne) {
            std::ofstream(path + ".1") << "older";
        }
        capture::RecorderSettings settings;
        settings.path = path;
        settings.files = c.files;
        const mode_t umask = ::umask(0);
        {
            capture::Recorder recorder(settings);
            recorder.start();
            recorder.add(numbered(1));
        }
        ::umask(umask);
        EXPECT_EQ(contents(theirs), c.atFile);
        std::vector<Record> written;
        std::string error;
        ASSERT_TRUE(capture::readAll(path, written, error)) << error;
        EXPECT_EQ(written.size(), 1u);
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        EXPECT_EQ(info.st_nlink, 1u);
        for (unsigned n = 1; n <= 3; ++n) {
            const std::string name = path + "." + std::to_string(n);
            EXPECT_EQ(::access(name.c_str(), F_OK) == 0 ? contents(name) : "", c.after[n - 1])
                << name;
        }
    }
}

}  // namespace
