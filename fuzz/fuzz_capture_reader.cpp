// The capture reader: any bytes as a capture file from another bench, read from memory as
// benchsim --replay and the tests read one back (capture::readAll through libpcap), then made
// into the replay's plan (ReplayPlan::build, as ReplayPlan::load does).
//
// Input: the file's bytes. A record read must encode back to a record that decodes to itself;
// a plan built must hold only ports that are file names (one that only closed has no stretch,
// which the replay leaves out), each stretch opening before what it plays, within the
// capture's first and last times, and in the line's order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/record.h"
#include "fuzzsupport.h"
#include "replayplan.h"

namespace {

void checkRecord(const capture::Record& record) {
    const std::vector<std::uint8_t> bytes = capture::encode(record);
    capture::Record again;
    FUZZ_CHECK(capture::decode(bytes.data(), bytes.size(), record.microseconds, again),
               "a record read does not decode once encoded\n");
    FUZZ_CHECK(again.direction == record.direction && again.kind == record.kind &&
                   again.flags == record.flags && again.port == record.port &&
                   again.payload == record.payload,
               "a record read changes once encoded and decoded\n");
}

void checkPlan(const ReplayPlan& plan) {
    FUZZ_CHECK(!plan.ports.empty(), "a plan without a port\n");
    FUZZ_CHECK(plan.startUs <= plan.endUs, "the plan ends before it starts\n");
    uint64_t frames = 0;
    for (const PortPlan& port : plan.ports) {
        FUZZ_CHECK(!port.name.empty() && port.name != "." && port.name != ".." &&
                       port.name.find('/') == std::string::npos &&
                       port.name.find('\0') == std::string::npos,
                   "port '%s' is not a file name\n", port.name.c_str());
        for (const ReplaySegment& segment : port.segments) {
            FUZZ_CHECK(segment.openUs >= plan.startUs && segment.openUs <= plan.endUs,
                       "a stretch opens outside the capture\n");
            FUZZ_CHECK(segment.closeUs == -1 ||
                           (segment.closeUs >= segment.openUs && segment.closeUs <= plan.endUs),
                       "a stretch closes before it opens, or after the capture\n");
            FUZZ_CHECK(segment.anchorUs == -1 ||
                           (segment.anchorUs >= segment.openUs && segment.anchorUs <= plan.endUs),
                       "a stretch's first request is outside it\n");
            FUZZ_CHECK(segment.anchorUs == -1 || plan.firstAnchorUs != -1,
                       "a request without the plan's first\n");
            FUZZ_CHECK(segment.anchorUs == -1 || plan.firstAnchorUs <= segment.anchorUs,
                       "the plan's first request comes after a stretch's\n");
            int64_t at = segment.openUs;
            for (const ReplaySegment::Chunk& chunk : segment.chunks) {
                FUZZ_CHECK(chunk.us >= at && chunk.us <= plan.endUs,
                           "a chunk out of the line's order, or after the capture\n");
                at = chunk.us;
                frames += chunk.frame ? 1 : 0;
            }
        }
    }
    FUZZ_CHECK(plan.frames() == frames, "the plan counts %llu frames, %llu played\n",
               static_cast<unsigned long long>(plan.frames()),
               static_cast<unsigned long long>(frames));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    if (size == 0) {
        return 0;  // fmemopen refuses an empty buffer
    }
    // fmemopen reads the buffer in place: a copy, as libFuzzer's input is read-only.
    std::vector<char> bytes(input, input + size);
    FILE* file = ::fmemopen(bytes.data(), bytes.size(), "rb");
    FUZZ_CHECK(file != nullptr, "fmemopen failed\n");
    std::vector<capture::Record> records;
    std::string error;
    if (!capture::readAll(file, records, error)) {
        FUZZ_CHECK(!error.empty(), "a capture refused without a reason\n");
        return 0;
    }
    for (const capture::Record& record : records) {
        checkRecord(record);
    }
    ReplayPlan plan;
    if (ReplayPlan::build(records, plan, error)) {
        checkPlan(plan);
    } else {
        FUZZ_CHECK(!error.empty(), "a plan refused without a reason\n");
    }
    return 0;
}
