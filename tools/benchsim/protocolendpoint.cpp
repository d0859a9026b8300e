#include "protocolendpoint.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string hexText(const unsigned char* bytes, std::size_t size) {
    std::string text;
    char piece[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

std::string describe(const Command& frame) {
    char text[96];
    if (frame.type == FRAME_ACK) {
        std::snprintf(text, sizeof text, "ack #%u", frame.number());
    } else {
        std::snprintf(text, sizeof text, "data #%u code %u access %u len %u", frame.number(),
                      frame.code(), frame.access(), frame.length());
    }
    return text;
}

}  // namespace

ProtocolEndpoint::ProtocolEndpoint(LinkFaults faults, uint32_t seed, Log log)
    : faults_(faults), random_(seed), log_(std::move(log)) {}

namespace {

// Keeps the frame the parser found in the byte just fed, if any.
struct FoundFrame : FrameParser::Sink {
    void noise(const unsigned char*, std::size_t) override {}
    void frame(const Command& frame, bool isGood, const unsigned char*, std::size_t) override {
        found = &frame;
        good = isGood;
    }
    const Command* found = nullptr;
    bool good = false;
};

}  // namespace

std::vector<Command> ProtocolEndpoint::receive(const unsigned char* bytes, std::size_t count) {
    std::vector<Command> frames;
    FoundFrame parsed;
    for (std::size_t i = 0; i < count; ++i) {
        parsed.found = nullptr;
        parser_.feed(bytes + i, 1, parsed);
        if (log_) {
            // Keep only what a frame can hold; the rest is noise between frames.
            if (raw_.size() >= 512) {
                raw_.erase(raw_.begin(), raw_.end() - 300);
            }
            raw_.push_back(bytes[i]);
        }
        if (parsed.found == nullptr) {
            continue;
        }
        const Command& frame = *parsed.found;
        const std::size_t size = std::min<std::size_t>(frame.size(), raw_.size());
        const unsigned char* frameBytes = raw_.data() + raw_.size() - size;
        if (!parsed.good) {
            ++corruptedReceived_;
            if (log_) {
                logFrame("<-", frameBytes, size, describe(frame) + " CRC MISMATCH, ignored");
            }
        } else if (frame.type == FRAME_ACK) {
            ++acksReceived_;
            if (log_) {
                logFrame("<-", frameBytes, size, describe(frame));
            }
        } else {
            ++framesReceived_;
            if (log_) {
                logFrame("<-", frameBytes, size, describe(frame));
            }
            frames.push_back(frame);
            if (!faults_.noAck) {
                Command ack = Command::makeAck(frame.number());
                emit(ack, describe(ack));
            }
        }
        raw_.clear();
    }
    return frames;
}

void ProtocolEndpoint::send(unsigned char code, const std::vector<unsigned char>& payload) {
    std::size_t length = std::min<std::size_t>(payload.size(), MAX_OUTBOUND_PAYLOAD);
    Command frame =
        Command::makeData(code, ACCESS_COMMAND, payload.data(), static_cast<unsigned char>(length));
    frame.setNumber(counter_);
    emit(frame, describe(frame));
    ++counter_;
}

void ProtocolEndpoint::emit(Command& frame, const std::string& what) {
    if (silent_) {
        return;
    }
    frame.createCommand();
    std::vector<unsigned char> bytes(frame.buffer, frame.buffer + frame.size());
    std::string note = what;
    if (faults_.garbage) {
        // Noise without 0xA5 never looks like a frame start, so it only tests the hunting.
        std::size_t n = std::uniform_int_distribution<std::size_t>(1, MAX_GARBAGE)(random_);
        std::vector<unsigned char> noise(n);
        for (unsigned char& byte : noise) {
            do {
                byte = static_cast<unsigned char>(random_());
            } while (byte == FRAME_START);
        }
        if (log_) {
            logFrame("->", noise.data(), noise.size(), "garbage");
        }
        output_.insert(output_.end(), noise.begin(), noise.end());
    }
    if (faults_.corruptPercent > 0 &&
        std::uniform_int_distribution<int>(0, 99)(random_) < faults_.corruptPercent) {
        // One flipped bit behind the header always breaks the CRC-8 and never the framing.
        std::size_t first = frame.type == FRAME_ACK ? 4 : 7;
        std::size_t at =
            std::uniform_int_distribution<std::size_t>(first, bytes.size() - 1)(random_);
        bytes[at] ^=
            static_cast<unsigned char>(1u << std::uniform_int_distribution<int>(0, 7)(random_));
        note += " CORRUPTED";
    }
    if (log_) {
        logFrame("->", bytes.data(), bytes.size(), note);
    }
    output_.insert(output_.end(), bytes.begin(), bytes.end());
}

void ProtocolEndpoint::logFrame(const char* direction, const unsigned char* bytes, std::size_t size,
                                const std::string& what) const {
    log_(std::string(direction) + " " + hexText(bytes, size) + "  | " + what);
}

std::vector<unsigned char> ProtocolEndpoint::takeOutput() {
    std::vector<unsigned char> bytes;
    bytes.swap(output_);
    return bytes;
}
