// One protocol frame, either direction: a pure codec over bytes.
//
// Data frame on the wire: A5 A5 0F number code access length payload[length] crc, the CRC
// covering number..payload. Acknowledgement: A5 A5 33 number crc(number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum FrameType : int32_t { FRAME_NONE = 0, FRAME_DATA = 1, FRAME_ACK = 2 };

enum ParserState : int32_t {
    WAIT_START = 0,
    READ_NUMBER = 1,
    READ_CODE = 2,
    READ_ACCESS = 3,
    READ_LENGTH = 4,
    READ_DATA = 5,
    READ_CRC = 6,
    READ_ACK_NUMBER = 11,
    READ_ACK_CRC = 12,
};

constexpr unsigned char FRAME_START = 0xA5;
constexpr unsigned char FRAME_KIND_DATA = 0x0F;
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

    // Back to hunting for a frame start; keeps header bytes 0, 2, 3, data and buffer.
    void reset();
    unsigned size() const;
    unsigned sizeCRC() const;
    // Feeds one received byte to the parser; look at isValid() and isCorrupted() afterwards.
    void slotNewByte(unsigned char byte);
    bool isValid() const { return valid; }
    bool isCorrupted() const { return corrupted; }
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
    bool valid;
    bool corrupted;
    unsigned char prevByte;
    unsigned char dataIndex;
    ParserState state;
};

// The payload bytes as decimal numbers, each followed by a space: "1 2 255 ", for the console.
std::string byteList(const Command& command);
