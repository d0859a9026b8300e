#include "protocol/command.h"

#include <cstring>

#include "protocol/crc8.h"

namespace {

constexpr unsigned char FRAME_KIND_DATA = 0x0F;

// Where the parser is in a frame.
enum ParserState : int {
    WAIT_START,
    READ_NUMBER,
    READ_CODE,
    READ_ACCESS,
    READ_LENGTH,
    READ_DATA,
    READ_CRC,
    READ_ACK_NUMBER,
    READ_ACK_CRC,
};

}  // namespace

Command::Command() : header{}, type(FRAME_NONE), data{}, crc(0), buffer{} {}

Command Command::makeData(unsigned char code, unsigned char access, const unsigned char* payload,
                          unsigned char length) {
    Command command;
    command.type = FRAME_DATA;
    command.header[0] = 0;
    command.header[1] = code;
    command.header[2] = access;
    command.header[3] = length;
    if (length > 0) {
        std::memcpy(command.data, payload, length);
    }
    return command;
}

Command Command::makeAck(unsigned char number) {
    Command command;
    command.type = FRAME_ACK;
    command.header[0] = number;
    command.createCommand();
    return command;
}

unsigned Command::size() const {
    switch (type) {
        case FRAME_DATA:
            return header[3] + 8u;
        case FRAME_ACK:
            return 5u;
        default:
            return 0u;
    }
}

unsigned Command::sizeCRC() const {
    switch (type) {
        case FRAME_DATA:
            return header[3] + 4u;
        case FRAME_ACK:
            return 1u;
        default:
            return 0u;
    }
}

void Command::createCommand() {
    buffer[3] = header[0];
    if (type == FRAME_DATA) {
        // A payload too long for the buffer never leaves: builders stay far below it.
        unsigned length = header[3] <= MAX_OUTBOUND_PAYLOAD ? header[3] : MAX_OUTBOUND_PAYLOAD;
        header[3] = static_cast<unsigned char>(length);
        buffer[0] = FRAME_START;
        buffer[1] = FRAME_START;
        buffer[2] = FRAME_KIND_DATA;
        buffer[4] = header[1];
        buffer[5] = header[2];
        buffer[6] = header[3];
        std::memcpy(buffer + 7, data, length);
        crc = crcCheck(buffer + 3, static_cast<int>(sizeCRC()));
        buffer[7 + length] = crc;
    } else if (type == FRAME_ACK) {
        buffer[0] = FRAME_START;
        buffer[1] = FRAME_START;
        buffer[2] = FRAME_KIND_ACK;
        crc = crcCheck(header, 1);
        buffer[4] = crc;
    }
}

FrameParser::FrameParser() : state_(WAIT_START) {}

void FrameParser::feed(const unsigned char* bytes, std::size_t count, Sink& sink) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        if (state_ == WAIT_START) {
            hunt(byte, sink);
            continue;
        }
        raw_[rawSize_++] = byte;
        switch (state_) {
            case READ_NUMBER:
            case READ_CODE:
            case READ_ACCESS:
                // The header's first three bytes, in the order of their states.
                frame_.header[state_ - READ_NUMBER] = byte;
                state_ = state_ + 1;
                break;
            case READ_LENGTH:
                frame_.header[3] = byte;
                dataIndex_ = 0;
                state_ = byte != 0 ? READ_DATA : READ_CRC;
                break;
            case READ_DATA:
                // dataIndex_ stays below the announced length (at most 255), so data[] holds it.
                frame_.data[dataIndex_] = byte;
                ++dataIndex_;
                if (dataIndex_ == frame_.header[3]) {
                    state_ = READ_CRC;
                }
                break;
            case READ_CRC: {
                frame_.crc = byte;
                unsigned char check = crcCheck(frame_.header, 4);
                for (int d = 0; d < frame_.header[3]; ++d) {
                    crc8(&check, frame_.data[d]);
                }
                finish(check == byte, sink);
                break;
            }
            case READ_ACK_NUMBER:
                frame_.header[0] = byte;
                state_ = READ_ACK_CRC;
                break;
            case READ_ACK_CRC:
                frame_.crc = byte;
                finish(crcCheck(frame_.header, 1) == byte, sink);
                break;
            default:
                state_ = WAIT_START;
                break;
        }
    }
    flushNoise(sink);
}

void FrameParser::flushNoise(Sink& sink) {
    if (!noise_.empty()) {
        sink.noise(noise_.data(), noise_.size());
        noise_.clear();
    }
}

void FrameParser::hunt(unsigned char byte, Sink& sink) {
    // A frame starts with A5 and its kind; a second A5 before it is the frame's too. A third
    // one is noise, and so is an A5 followed by anything but a kind.
    if (held_ > 0 && (byte == FRAME_KIND_DATA || byte == FRAME_KIND_ACK)) {
        flushNoise(sink);
        std::memset(raw_, FRAME_START, static_cast<std::size_t>(held_));
        rawSize_ = static_cast<std::size_t>(held_);
        raw_[rawSize_++] = byte;
        held_ = 0;
        std::memset(frame_.header, 0, sizeof frame_.header);
        frame_.type = byte == FRAME_KIND_DATA ? FRAME_DATA : FRAME_ACK;
        state_ = byte == FRAME_KIND_DATA ? READ_NUMBER : READ_ACK_NUMBER;
    } else if (byte == FRAME_START) {
        if (held_ == 2) {
            noise_.push_back(FRAME_START);
        } else {
            ++held_;
        }
    } else {
        noise_.insert(noise_.end(), static_cast<std::size_t>(held_), FRAME_START);
        noise_.push_back(byte);
        held_ = 0;
    }
}

void FrameParser::finish(bool good, Sink& sink) {
    state_ = WAIT_START;
    sink.frame(frame_, good, raw_, rawSize_);
}

std::string byteList(const Command& command) {
    std::string text;
    for (int i = 0; i < command.length(); ++i) {
        text += std::to_string(command.data[i]);
        text += ' ';
    }
    return text;
}
