// The board's side of the serial link: reassembles the host's frames, acknowledges each
// valid data frame, numbers the board's own data frames, and injects line faults on demand.
// Pure bytes in, bytes out: no descriptors, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "protocol/command.h"

struct LinkFaults {
    bool noAck = false;      // never acknowledge the host's frames
    int corruptPercent = 0;  // share of outgoing frames sent with a broken CRC
    bool garbage = false;    // noise bytes between outgoing frames
};

// One piece of what went over the line, for the frame log: a board's frame, acknowledgement
// or noise going out, a host's frame or acknowledgement or bad bytes coming in.
struct LineEvent {
    enum Kind { DATA, BADCRC, ACK, BADACK, NOISE, BAD };
    Kind kind = DATA;
    unsigned char code = 0;
    unsigned char number = 0;
    std::vector<unsigned char> payload;
    std::size_t size = 0;  // bytes on the line
};

class ProtocolEndpoint {
public:
    using Log = std::function<void(const std::string&)>;
    static constexpr std::size_t MAX_GARBAGE = 8;

    explicit ProtocolEndpoint(LinkFaults faults = {}, uint32_t seed = 1, Log log = {});

    // Feeds bytes from the host. Returns the valid data frames in order; each has been
    // acknowledged (unless acknowledging is off or the board is silent).
    std::vector<Command> receive(const unsigned char* bytes, std::size_t count);
    // Numbers and queues one data frame of the board.
    void send(unsigned char code, const std::vector<unsigned char>& payload);
    // A silent board sends nothing at all, acknowledgements included.
    void setSilent(bool silent) { silent_ = silent; }
    bool silent() const { return silent_; }
    // The bytes queued for the line since the last call; with `pieces`, what they are, in
    // order and covering every byte (recorded only while recordLine() is on).
    std::vector<unsigned char> takeOutput(std::vector<LineEvent>* pieces = nullptr);
    // What came from the host since the last call (recorded only while recordLine() is on).
    std::vector<LineEvent> takeReceived();
    void recordLine(bool on) { record_ = on; }

    // Faults asked for while the board runs: acknowledgements held back, the next `count`
    // data frames with a broken CRC, `count` noise bytes now, frame numbers from 0 again.
    void pauseAcks(bool paused) { acksPaused_ = paused; }
    void corruptNext(unsigned long count) { corruptNext_ = count; }
    void noise(std::size_t count);
    void restartNumbering() { counter_ = 0; }

    unsigned long framesReceived() const { return framesReceived_; }
    unsigned long corruptedReceived() const { return corruptedReceived_; }
    unsigned long acksReceived() const { return acksReceived_; }

private:
    void emit(Command& frame, const std::string& what);
    std::vector<unsigned char> noiseBytes(std::size_t count);
    // Noise bytes queued for the line, logged as `what`.
    void queueNoise(std::size_t count, const char* what);
    void queue(const std::vector<unsigned char>& bytes, LineEvent piece);
    void noteBad();
    void logFrame(const char* direction, const unsigned char* bytes, std::size_t size,
                  const std::string& what) const;

    LinkFaults faults_;
    std::mt19937 random_;
    Log log_;
    bool silent_ = false;
    FrameParser parser_;
    std::vector<unsigned char> raw_;  // bytes of the frame being parsed, for the log
    unsigned char counter_ = 0;
    std::vector<unsigned char> output_;
    bool record_ = false;
    std::vector<LineEvent> outputPieces_;
    std::vector<LineEvent> received_;
    std::size_t badRun_ = 0;  // bytes from the host that made no frame, not yet recorded
    bool acksPaused_ = false;
    unsigned long corruptNext_ = 0;
    unsigned long framesReceived_ = 0;
    unsigned long corruptedReceived_ = 0;
    unsigned long acksReceived_ = 0;
};
