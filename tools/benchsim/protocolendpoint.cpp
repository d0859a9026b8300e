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
    void noise(const unsigned char*, std::size_t count) override { skipped += count; }
    void frame(const Command& frame, bool isGood, const unsigned char*,
               std::size_t count) override {
        found = &frame;
        good = isGood;
        size = count;
    }
    const Command* found = nullptr;
    bool good = false;
    std::size_t size = 0;
    std::size_t skipped = 0;
};

}  // namespace

std::vector<Command> ProtocolEndpoint::receive(const unsigned char* bytes, std::size_t count) {
    std::vector<Command> frames;
    FoundFrame parsed;
    for (std::size_t i = 0; i < count; ++i) {
        parsed.found = nullptr;
        parsed.skipped = 0;
        parser_.feed(bytes + i, 1, parsed);
        badRun_ += parsed.skipped;
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
            badRun_ += parsed.size;
        } else if (record_) {
            noteBad();
            LineEvent event;
            event.kind = frame.type == FRAME_ACK ? LineEvent::ACK : LineEvent::DATA;
            event.number = frame.number();
            if (frame.type != FRAME_ACK) {
                event.code = frame.code();
                event.payload.assign(frame.data, frame.data + frame.length());
            }
            event.size = parsed.size;
            received_.push_back(std::move(event));
        }
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
            if (!faults_.noAck && !acksPaused_) {
                Command ack = Command::makeAck(frame.number());
                emit(ack, describe(ack));
            }
        }
        raw_.clear();
    }
    if (record_) {
        noteBad();
    } else {
        badRun_ = 0;
    }
    return frames;
}

void ProtocolEndpoint::noteBad() {
    if (badRun_ > 0) {
        LineEvent event;
        event.kind = LineEvent::BAD;
        event.size = badRun_;
        received_.push_back(std::move(event));
        badRun_ = 0;
    }
}

std::vector<LineEvent> ProtocolEndpoint::takeReceived() {
    std::vector<LineEvent> events;
    events.swap(received_);
    return events;
}

// Noise without 0xA5 never looks like a frame start, so it only tests the hunting.
std::vector<unsigned char> ProtocolEndpoint::noiseBytes(std::size_t count) {
    std::vector<unsigned char> noise(count);
    for (unsigned char& byte : noise) {
        do {
            byte = static_cast<unsigned char>(random_());
        } while (byte == FRAME_START);
    }
    return noise;
}

void ProtocolEndpoint::noise(std::size_t count) {
    if (silent_) {
        return;
    }
    queueNoise(count, "noise");
}

void ProtocolEndpoint::queueNoise(std::size_t count, const char* what) {
    std::vector<unsigned char> noise = noiseBytes(count);
    if (log_) {
        logFrame("->", noise.data(), noise.size(), what);
    }
    LineEvent piece;
    piece.kind = LineEvent::NOISE;
    queue(noise, std::move(piece));
}

void ProtocolEndpoint::queue(const std::vector<unsigned char>& bytes, LineEvent piece) {
    output_.insert(output_.end(), bytes.begin(), bytes.end());
    if (record_) {
        piece.size = bytes.size();
        outputPieces_.push_back(std::move(piece));
    }
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
        queueNoise(std::uniform_int_distribution<std::size_t>(1, MAX_GARBAGE)(random_), "garbage");
    }
    LineEvent piece;
    piece.number = frame.number();
    const bool data = frame.type != FRAME_ACK;
    if (data) {
        piece.code = frame.code();
        piece.payload.assign(frame.data, frame.data + frame.length());
    }
    // A frame broken on request is one of the next ones; the percentage draws as it always did.
    bool corrupt = data && corruptNext_ > 0;
    if (corrupt) {
        --corruptNext_;
    } else if (faults_.corruptPercent > 0) {
        corrupt = std::uniform_int_distribution<int>(0, 99)(random_) < faults_.corruptPercent;
    }
    piece.kind = data ? (corrupt ? LineEvent::BADCRC : LineEvent::DATA)
                      : (corrupt ? LineEvent::BADACK : LineEvent::ACK);
    if (corrupt) {
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
    queue(bytes, std::move(piece));
}

void ProtocolEndpoint::logFrame(const char* direction, const unsigned char* bytes, std::size_t size,
                                const std::string& what) const {
    log_(std::string(direction) + " " + hexText(bytes, size) + "  | " + what);
}

std::vector<unsigned char> ProtocolEndpoint::takeOutput(std::vector<LineEvent>* pieces) {
    std::vector<unsigned char> bytes;
    bytes.swap(output_);
    if (pieces) {
        pieces->swap(outputPieces_);
    }
    outputPieces_.clear();
    return bytes;
}
