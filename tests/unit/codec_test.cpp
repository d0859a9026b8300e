// The frame codec: CRC-8, encoding, and the byte-at-a-time parser.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "boardoptions.h"
#include "link/channel.h"
#include "link/receivemanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/crc8.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

Bytes encoded(Command& command) {
    command.createCommand();
    return Bytes(command.buffer, command.buffer + command.size());
}

std::string describe(const Command& command) {
    if (command.type == FRAME_ACK) {
        return "ack " + std::to_string(command.number());
    }
    return "data " + hex({command.number(), command.code(), command.access(), command.length()}) +
           " | " + hex(Bytes(command.data, command.data + command.length()));
}

// What the parser reports, in order: "noise ..." runs, frames, "corrupt" frames; and every
// byte it reported, noise and frames alike.
struct Events : FrameParser::Sink {
    void noise(const unsigned char* bytes, std::size_t count) override {
        events.push_back("noise " + hex(Bytes(bytes, bytes + count)));
        reported.insert(reported.end(), bytes, bytes + count);
    }
    void frame(const Command& frame, bool good, const unsigned char* bytes,
               std::size_t count) override {
        events.push_back(good ? describe(frame) : "corrupt");
        reported.insert(reported.end(), bytes, bytes + count);
    }
    std::vector<std::string> events;
    Bytes reported;
};

std::vector<std::string> parse(const Bytes& bytes) {
    Events events;
    FrameParser().feed(bytes.data(), bytes.size(), events);
    return events.events;
}

// The frames alone, without the noise between them.
std::vector<std::string> framesOf(std::vector<std::string> events) {
    events.erase(std::remove_if(events.begin(), events.end(),
                                [](const std::string& e) { return e.rfind("noise ", 0) == 0; }),
                 events.end());
    return events;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes range(int count, unsigned char first = 0) {
    Bytes bytes(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(first + i);
    }
    return bytes;
}

}  // namespace

TEST(CodecCrc, CheckValueAndEdges) {
    const char* digits = "123456789";
    EXPECT_EQ(crcCheck(reinterpret_cast<const unsigned char*>(digits), 9), 0xA1);
    unsigned char running = 0;
    for (int i = 0; i < 9; ++i) {
        crc8(&running, static_cast<unsigned char>(digits[i]));
    }
    EXPECT_EQ(running, 0xA1);
    EXPECT_EQ(crcCheck(reinterpret_cast<const unsigned char*>(digits), 0), 0);
    EXPECT_EQ(crcCheck(reinterpret_cast<const unsigned char*>(digits), -3), 0);
}

TEST(CodecEncode, FramesAreByteExact) {
    Command version = Command::makeData(codes::VERSION, ACCESS_REQUEST, nullptr, 0);
    EXPECT_EQ(hex(encoded(version)), "A5 A5 0F 00 02 02 00 DE");
    EXPECT_EQ(version.size(), 8u);
    EXPECT_EQ(version.sizeCRC(), 4u);
    EXPECT_EQ(version.crc, 0xDE);

    Command ack;
    ack.type = FRAME_ACK;
    ack.header[0] = 5;
    EXPECT_EQ(hex(encoded(ack)), "A5 A5 33 05 3F");
    EXPECT_EQ(ack.size(), 5u);
    EXPECT_EQ(ack.sizeCRC(), 1u);
    ack.header[0] = 0;
    EXPECT_EQ(hex(encoded(ack)), "A5 A5 33 00 00");
    // The reader's acknowledgement comes encoded.
    for (unsigned char number : {0, 5, 0xA5, 0xFF}) {
        const Command made = Command::makeAck(number);
        Command byHand;
        byHand.type = FRAME_ACK;
        byHand.header[0] = number;
        EXPECT_EQ(hex(Bytes(made.buffer, made.buffer + made.size())), hex(encoded(byHand)));
    }

    Command fresh;
    EXPECT_EQ(fresh.size(), 0u);
    EXPECT_EQ(fresh.sizeCRC(), 0u);
}

TEST(CodecEncode, LongestPayloadFitsTheBuffer) {
    Bytes payload = range(255);
    Command command = Command::makeData(9, ACCESS_COMMAND, payload.data(), 255);
    command.setNumber(3);
    Bytes frame = encoded(command);
    ASSERT_LE(frame.size(), sizeof command.buffer);
    EXPECT_EQ(frame.size(), MAX_OUTBOUND_PAYLOAD + 8u);
    // What goes out is still a consistent frame.
    EXPECT_EQ(parse(frame), std::vector<std::string>{describe(command)});
}

TEST(CodecParse, Table) {
    const Bytes frame = dataFrame(1, 41, 1, {0x05, 0xDC, 0x01});
    const std::string frameSeen = "data 01 29 01 03 | 05 DC 01";
    Bytes badCrc = frame;
    badCrc.back() ^= 0x01;
    const Bytes starts = {0xA5, 0xA5, 0x0F, 0xA5, 0xA5, 0x33, 0xA5};
    // A frame that lost its last two bytes takes the next bytes on the line to complete.
    Bytes truncated = dataFrame(2, 7, 1, {1, 2, 3});
    truncated.resize(truncated.size() - 2);
    const Bytes swallowed = dataFrame(3, 2, 2, {});

    struct Case {
        const char* name;
        Bytes input;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"version request", unhex("A5 A5 0F 00 02 02 00 DE"), {"data 00 02 02 00 | "}},
        {"leading garbage",
         unhex("00 FF 12 A5 00 0F 33") + frame,
         {"noise 00 FF 12 A5 00 0F 33", frameSeen}},
        {"three start bytes", Bytes{0xA5} + frame, {"noise A5", frameSeen}},
        {"one start byte is enough", Bytes(frame.begin() + 1, frame.end()), {frameSeen}},
        {"start bytes at the end are held", unhex("00 A5 A5"), {"noise 00"}},
        {"start bytes then no kind", unhex("A5 A5 00 A5"), {"noise A5 A5 00"}},
        {"bare kind bytes ignored", unhex("0F 33 0F 33") + frame, {"noise 0F 33 0F 33", frameSeen}},
        {"kind byte after the wrong byte",
         unhex("A4 0F 01 02 03") + frame,
         {"noise A4 0F 01 02 03", frameSeen}},
        {"ack", unhex("A5 A5 33 05 3F"), {"ack 5"}},
        {"ack of 0", unhex("A5 A5 33 00 00"), {"ack 0"}},
        {"ack with a bad crc", unhex("A5 A5 33 05 3E"), {"corrupt"}},
        {"bad crc then good frame", badCrc + frame, {"corrupt", frameSeen}},
        {"frames back to back",
         frame + unhex("A5 A5 33 07 83") + frame,
         {frameSeen, "ack 7", frameSeen}},
        {"start patterns inside the payload are data",
         dataFrame(9, 3, 1, starts),
         {"data 09 03 01 07 | A5 A5 0F A5 A5 33 A5"}},
        {"start bytes in the header",
         dataFrame(0xA5, 0x0F, 0x33, {0xA5}),
         {"data A5 0F 33 01 | A5"}},
        {"length 0 goes straight to the crc", dataFrame(4, 60, 1, {}), {"data 04 3C 01 00 | "}},
        {"255-byte payload",
         dataFrame(8, 16, 1, range(255)),
         {"data 08 10 01 FF | " + hex(range(255))}},
        {"lost bytes swallow what follows",
         truncated + swallowed,
         {"corrupt", "noise " + hex(Bytes(swallowed.begin() + 2, swallowed.end()))}},
        {"incomplete frame reports nothing", Bytes(frame.begin(), frame.end() - 1), {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.input), c.events) << c.name;
    }
}

TEST(CodecParse, EveryBitFlipIsCaughtOrMissesTheStart) {
    const Bytes frame = dataFrame(0x11, 0x22, 0x01, {0x10, 0x20, 0x30, 0x40});
    const std::string good = "data 11 22 01 04 | 10 20 30 40";
    ASSERT_EQ(parse(frame), std::vector<std::string>{good});
    for (std::size_t pos = 0; pos < frame.size(); ++pos) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bent = frame;
            bent[pos] ^= static_cast<unsigned char>(1 << bit);
            std::vector<std::string> events = framesOf(parse(bent));
            if (pos == 0) {
                // The first start byte is never examined.
                EXPECT_EQ(events, std::vector<std::string>{good});
            } else {
                EXPECT_TRUE(std::find(events.begin(), events.end(), good) == events.end())
                    << "byte " << pos << " bit " << bit;
                for (const std::string& event : events) {
                    EXPECT_EQ(event, "corrupt") << "byte " << pos << " bit " << bit;
                }
            }
        }
    }
    // Any header field changed with the CRC recomputed is taken as it stands: the parser
    // checks framing and CRC only, the meaning is the decoder's business.
    EXPECT_EQ(parse(dataFrame(0x11, 0x22, 0x07, {0x10})),
              std::vector<std::string>{"data 11 22 07 01 | 10"});
}

TEST(CodecParse, EachFrameIsHuntedFromScratch) {
    // A frame whose CRC byte is A5: a 0F right after it is noise, not the next frame's start.
    unsigned char number = 0;
    while (dataFrame(number, 1, 1, {}).back() != 0xA5) {
        ++number;
    }
    Bytes stream = dataFrame(number, 1, 1, {});
    const Bytes second = dataFrame(0x42, 60, 1, {});
    const Bytes rest(second.begin() + 2, second.end());  // without its A5 A5
    stream = stream + rest;

    EXPECT_EQ(parse(stream), (std::vector<std::string>{"data " + hex({number, 1, 1, 0}) + " | ",
                                                       "noise " + hex(rest)}));
}

TEST(CodecParse, RandomBytesAreReportedOnceEachInOrder) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 50; ++round) {
        // Start bytes are frequent, so that many frames begin and lengths are random.
        Bytes stream;
        for (int i = 0; i < 20000; ++i) {
            int pick = byte(random);
            stream.push_back(pick < 40   ? 0xA5
                             : pick < 60 ? 0x0F
                             : pick < 70 ? 0x33
                                         : static_cast<unsigned char>(byte(random)));
        }
        // Zeros at the end finish any frame in progress and are noise themselves.
        stream.insert(stream.end(), 300, 0x00);
        // In reads of random size: every byte is noise or part of a frame, once, in order.
        Events events;
        FrameParser parser;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t count =
                std::min<std::size_t>(1 + byte(random) % 64, stream.size() - at);
            parser.feed(stream.data() + at, count, events);
            at += count;
        }
        EXPECT_EQ(events.reported, stream);
        EXPECT_FALSE(framesOf(events.events).empty());
    }
}

namespace {

// What a receive manager makes of a byte stream handed over in the given pieces: the ACK
// bytes it writes and the frames it queues.
struct Received {
    Bytes acks;
    std::vector<std::string> frames;
    unsigned char ackNumber;
};

Received receiveInPieces(const Bytes& stream, const std::vector<std::size_t>& cuts) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair";
        return {};
    }
    FileDescriptor board(fds[1]);
    int size = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    Received result;
    {
        Channel channel(FileDescriptor(fds[0]),
                        testing_support::boardOptions(false, std::chrono::milliseconds(0)));
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            channel.receiveManager->handleBytes(stream.data() + from, cut - from);
            from = cut;
        }
        channel.receiveManager->handleBytes(stream.data() + from, stream.size() - from);
        while (std::unique_ptr<Command> command = channel.receiveManager->tryTake()) {
            result.frames.push_back(describe(*command));
        }
        result.ackNumber = channel.getAckNumber();
    }
    unsigned char buffer[4096];
    ssize_t n;
    while ((n = recv(board.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        result.acks.insert(result.acks.end(), buffer, buffer + n);
    }
    return result;
}

}  // namespace

TEST(CodecParse, FramesFoundDoNotDependOnTheReadSplit) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (bool cleanGaps : {true, false}) {
        Bytes stream;
        std::vector<std::string> sent;
        Bytes sentAcks;
        for (int i = 0; i < 60; ++i) {
            // Gaps of noise between frames; clean gaps hold no start byte.
            int gap = byte(random) % 6;
            for (int g = 0; g < gap; ++g) {
                unsigned char b = static_cast<unsigned char>(byte(random));
                stream.push_back(cleanGaps && b == 0xA5 ? 0x00 : b);
            }
            if (byte(random) < 40) {
                unsigned char number = static_cast<unsigned char>(byte(random));
                stream = stream + ackFrame(number);
                continue;
            }
            Bytes payload(static_cast<std::size_t>(byte(random) % 20));
            for (unsigned char& b : payload) {
                b = static_cast<unsigned char>(byte(random));
            }
            unsigned char number = static_cast<unsigned char>(i);
            Command expected =
                Command::makeData(static_cast<unsigned char>(byte(random)), 1, payload.data(),
                                  static_cast<unsigned char>(payload.size()));
            expected.setNumber(number);
            Bytes frame = encoded(expected);
            stream = stream + frame;
            sent.push_back(describe(expected));
            sentAcks = sentAcks + ackFrame(number);
        }

        Received whole = receiveInPieces(stream, {});
        if (cleanGaps) {
            EXPECT_EQ(whole.frames, sent);
            EXPECT_EQ(hex(whole.acks), hex(sentAcks));
        }
        for (int split = 0; split < 20; ++split) {
            std::vector<std::size_t> cuts;
            for (std::size_t at = 0; at < stream.size(); at += 1 + byte(random) % 16) {
                cuts.push_back(at);
            }
            Received pieces = receiveInPieces(stream, cuts);
            EXPECT_EQ(pieces.frames, whole.frames);
            EXPECT_EQ(hex(pieces.acks), hex(whole.acks));
            EXPECT_EQ(pieces.ackNumber, whole.ackNumber);
        }
        // One byte at a time too.
        std::vector<std::size_t> every;
        for (std::size_t at = 1; at < stream.size(); ++at) {
            every.push_back(at);
        }
        EXPECT_EQ(receiveInPieces(stream, every).frames, whole.frames);
    }
}
