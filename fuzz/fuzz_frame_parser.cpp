// The frame parser under arbitrary bytes arriving in arbitrary reads.
//
// Input: byte 0 says how many read lengths follow (0 to 7), each read length byte gives a
// read of 1 to 256 bytes, and the reads cycle over the rest of the input, the stream. The
// reader's own loop (ReceiveManager::handleBytes) takes the stream in those reads; the parser
// alone takes it in one read. Both must find the same frames, each frame found must be the
// very bytes of the stream it claims to be, the noise and frames reported must be the stream
// itself (but for a frame still in progress at the end), and every data frame must be
// acknowledged on the port with its own number, in order.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzzsupport.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "protocol/command.h"

namespace {

// The largest stream whose ACKs fit the pipe without blocking (8-byte frames, 5-byte ACKs).
constexpr std::size_t MAX_STREAM = 64 * 1024;

int ackPipe[2] = {-1, -1};

struct Frame {
    FrameType type;
    unsigned char number;
    unsigned char code;
    unsigned char access;
    std::vector<unsigned char> payload;
    unsigned char crc;

    bool operator==(const Frame& other) const {
        return type == other.type && number == other.number && code == other.code &&
               access == other.access && payload == other.payload && crc == other.crc;
    }
};

Frame frameOf(const Command& command) {
    Frame frame{command.type, command.number(), command.code(), command.access(), {}, command.crc};
    if (command.type == FRAME_DATA) {
        frame.payload.assign(command.data, command.data + command.length());
    }
    return frame;
}

// CRC-8/MAXIM written out again, so that the check does not lean on the code under test.
unsigned char maximCrc(const unsigned char* bytes, std::size_t count) {
    unsigned char crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char byte = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ byte) & 1) != 0;
            crc = static_cast<unsigned char>(crc >> 1);
            if (mix) {
                crc ^= 0x8C;
            }
            byte = static_cast<unsigned char>(byte >> 1);
        }
    }
    return crc;
}

// The frame that ended with stream[end] must be those bytes: start pattern, header,
// payload, and a CRC that matches them.
void checkFrameBytes(const Frame& frame, const unsigned char* stream, std::size_t end) {
    if (frame.type == FRAME_ACK) {
        FUZZ_CHECK(end >= 3 && stream[end - 3] == 0xA5 && stream[end - 2] == 0x33 &&
                       stream[end - 1] == frame.number && stream[end] == frame.crc &&
                       maximCrc(&frame.number, 1) == frame.crc,
                   "ACK frame ending at %zu is not in the stream\n", end);
        return;
    }
    const std::size_t length = frame.payload.size();
    FUZZ_CHECK(end >= length + 6, "data frame ending at %zu starts before the stream\n", end);
    const std::size_t kind = end - length - 5;
    const unsigned char header[4] = {frame.number, frame.code, frame.access,
                                     static_cast<unsigned char>(length)};
    std::vector<unsigned char> covered(header, header + 4);
    covered.insert(covered.end(), frame.payload.begin(), frame.payload.end());
    FUZZ_CHECK(stream[kind - 1] == 0xA5 && stream[kind] == 0x0F &&
                   std::memcmp(stream + kind + 1, covered.data(), covered.size()) == 0 &&
                   stream[end] == frame.crc &&
                   maximCrc(covered.data(), covered.size()) == frame.crc,
               "data frame ending at %zu is not in the stream\n", end);
}

// The parser over the stream in one read: its good frames, each checked against the stream,
// and what it reported, noise and frames, which must be the stream itself in order.
struct OneRead : FrameParser::Sink {
    explicit OneRead(const unsigned char* stream) : stream(stream) {}
    void noise(const unsigned char* bytes, std::size_t size) override {
        FUZZ_CHECK(size > 0, "empty noise run at %zu\n", reported.size());
        reported.insert(reported.end(), bytes, bytes + size);
    }
    void frame(const Command& command, bool good, const unsigned char* bytes,
               std::size_t size) override {
        reported.insert(reported.end(), bytes, bytes + size);
        FUZZ_CHECK(size <= 263 && size == command.size() - 1 + (bytes[1] == 0xA5 ? 1 : 0),
                   "frame of %zu bytes reported for %u\n", size, command.size());
        if (good) {
            frames.push_back(frameOf(command));
            checkFrameBytes(frames.back(), stream, reported.size() - 1);
        }
    }
    const unsigned char* stream;
    std::vector<Frame> frames;
    std::vector<unsigned char> reported;
};

std::vector<Frame> framesInOneRead(const unsigned char* stream, std::size_t count) {
    OneRead read(stream);
    FrameParser().feed(stream, count, read);
    FUZZ_CHECK(read.reported.size() <= count && count - read.reported.size() <= 263 &&
                   (read.reported.empty() ||
                    std::memcmp(read.reported.data(), stream, read.reported.size()) == 0),
               "the reports are not the stream: %zu of %zu bytes\n", read.reported.size(), count);
    return read.frames;
}

std::vector<unsigned char> readAcks() {
    std::vector<unsigned char> bytes;
    unsigned char block[4096];
    ssize_t count;
    while ((count = ::read(ackPipe[0], block, sizeof block)) > 0) {
        bytes.insert(bytes.end(), block, block + count);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    if (::pipe2(ackPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        fuzz_support::fail("cannot make the ACK pipe\n");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    if (size == 0) {
        return 0;
    }
    const std::size_t splitCount = input[0] % 8;
    if (size < 1 + splitCount) {
        return 0;
    }
    std::vector<std::size_t> reads;
    for (std::size_t i = 0; i < splitCount; ++i) {
        reads.push_back(input[1 + i] + 1u);
    }
    if (reads.empty()) {
        reads.push_back(1024);  // the reader's own block
    }
    const unsigned char* stream = input + 1 + splitCount;
    const std::size_t streamSize = size - 1 - splitCount;
    if (streamSize > MAX_STREAM) {
        return 0;
    }

    const std::vector<Frame> expected = framesInOneRead(stream, streamSize);

    auto channel = fuzz_support::makeIdleChannel(255, FileDescriptor(::dup(ackPipe[1])));
    ReceiveManager& reader = *channel->receiveManager;
    std::size_t offset = 0;
    for (std::size_t n = 0; offset < streamSize; ++n) {
        const std::size_t count = std::min(reads[n % reads.size()], streamSize - offset);
        reader.handleBytes(stream + offset, count);
        offset += count;
    }

    std::vector<Frame> dataFrames;
    while (std::unique_ptr<Command> command = reader.tryTake()) {
        dataFrames.push_back(frameOf(*command));
    }
    std::vector<unsigned char> expectedAcks;
    std::vector<Frame> expectedData;
    int lastAck = Channel::NO_ACK;  // none until the board acknowledges something
    for (const Frame& frame : expected) {
        if (frame.type == FRAME_DATA) {
            expectedData.push_back(frame);
            const unsigned char ack[5] = {0xA5, 0xA5, 0x33, frame.number,
                                          maximCrc(&frame.number, 1)};
            expectedAcks.insert(expectedAcks.end(), ack, ack + 5);
        } else {
            lastAck = frame.number;
        }
    }
    FUZZ_CHECK(dataFrames == expectedData,
               "split reads found %zu data frames, one read found %zu (or they differ)\n",
               dataFrames.size(), expectedData.size());
    FUZZ_CHECK(channel->getAckNumber() == lastAck, "ACK number %d recorded, %d expected\n",
               channel->getAckNumber(), lastAck);
    const std::vector<unsigned char> acks = readAcks();
    FUZZ_CHECK(acks == expectedAcks, "%zu ACK bytes written for %zu data frames\n", acks.size(),
               expectedData.size());
    return 0;
}
