// One protocol frame, either direction, and the parser that finds frames in received bytes.
//
// Data frame on the wire: A5 A5 0F number code access length payload[length] crc, the CRC
// covering number..payload. Acknowledgement: A5 A5 33 number crc(number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum FrameType : int32_t { FRAME_NONE = 0, FRAME_DATA = 1, FRAME_ACK = 2 };

constexpr unsigned char FRAME_START = 0xA5;
constexpr unsigned char FRAME_KIND_ACK = 0x33;
constexpr unsigned char ACCESS_COMMAND = 1;
constexpr unsigned char ACCESS_REQUEST = 2;
// The encoded frame must fit `buffer`: 8 bytes of framing around the payload.
constexpr int MAX_OUTBOUND_PAYLOAD = 248;

class Command {
public:
    Command();
    // A data frame ready for the sender: code, access and payload set, number 0.
    static Command makeData(unsigned char code, unsigned char access, const unsigned char* payload,
                            unsigned char length);
    // The acknowledgement of the data frame numbered `number`, encoded.
    static Command makeAck(unsigned char number);

    unsigned size() const;
    unsigned sizeCRC() const;
    // Encodes the frame into `buffer` and stores its CRC in `crc`.
    void createCommand();

    unsigned char number() const { return header[0]; }
    unsigned char code() const { return header[1]; }
    unsigned char access() const { return header[2]; }
    unsigned char length() const { return header[3]; }
    void setNumber(unsigned char n) { header[0] = n; }

    unsigned char header[4];
    FrameType type;
    unsigned char data[256];
    unsigned char crc;
    unsigned char buffer[256];
};

// Finds frames in received bytes, however the reads split them, and says what it skipped:
// every byte fed ends up in exactly one report, in order, but for up to two start bytes (A5)
// at the end of a feed, held until the next byte shows whether they begin a frame.
class FrameParser {
public:
    // What the parser found, in the order of the bytes.
    class Sink {
    public:
        // A run of bytes that belongs to no frame: reported when a frame starts after it, or
        // at the end of the feed. Never empty.
        virtual void noise(const unsigned char* bytes, std::size_t count) = 0;
        // A complete frame, `good` when its CRC matched; `bytes` are the frame as it came, from
        // its start bytes to its CRC. The parser then hunts afresh.
        virtual void frame(const Command& frame, bool good, const unsigned char* bytes,
                           std::size_t count) = 0;

    protected:
        ~Sink() = default;
    };

    FrameParser();
    void feed(const unsigned char* bytes, std::size_t count, Sink& sink);

private:
    // The largest frame as it comes: two start bytes, kind, header, 255 bytes of payload, CRC.
    static constexpr std::size_t MAX_FRAME = 2 + 1 + 4 + 255 + 1;

    void hunt(unsigned char byte, Sink& sink);
    void finish(bool good, Sink& sink);
    // Reports the run of skipped bytes gathered so far, if any.
    void flushNoise(Sink& sink);

    int state_;
    int held_ = 0;  // start bytes seen while hunting that may yet begin a frame, at most two
    unsigned char dataIndex_ = 0;
    Command frame_;
    unsigned char raw_[MAX_FRAME];
    std::size_t rawSize_ = 0;
    std::vector<unsigned char> noise_;
};

// The payload bytes as decimal numbers, each followed by a space: "1 2 255 ", for the console.
std::string byteList(const Command& command);
