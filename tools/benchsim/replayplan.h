// What a replay plays, read from a capture: per port, the stretches between its opening and its
// closing, each with what the board sent and the moments that tie its timeline to the daemon's.
// Pure: records in, a plan out; no descriptors, no clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/record.h"

// One stretch of a port between "port opened" and "port closed" in the capture.
struct ReplaySegment {
    struct Chunk {
        int64_t us;  // capture time
        std::vector<uint8_t> bytes;
        bool frame;  // a data frame (bad CRC or not); else noise
    };
    int64_t openUs = 0;
    // The daemon's first data frame to the board (the version request); -1 when it wrote none.
    int64_t anchorUs = -1;
    // The last thing the board sent, acknowledgements included; -1 when it sent nothing.
    int64_t lastWordUs = -1;
    // The port closed; -1 when it stayed open to the end of the capture.
    int64_t closeUs = -1;
    // What the board sent, its own acknowledgements left out (the replay acknowledges live).
    std::vector<Chunk> chunks;
};

struct PortPlan {
    std::string name;
    std::vector<ReplaySegment> segments;
};

struct ReplayPlan {
    // A step longer than this between one record and the next in the file is the bench's
    // clock being set, not a pause: the plan leaves it out (and notes it). A day: a bench
    // with any port open has records every second.
    static constexpr int64_t CLOCK_JUMP_US = 86400LL * 1000000;

    int64_t startUs = 0;  // the capture's first record
    int64_t endUs = 0;    // its last record
    // The first daemon data frame to any board; -1 when none.
    int64_t firstAnchorUs = -1;
    std::vector<PortPlan> ports;
    // Things worth a console line (dropped records, ports that cannot be played).
    std::vector<std::string> notes;

    uint64_t frames() const;

    // False with a reason when the records hold no board to play.
    static bool build(const std::vector<capture::Record>& records, ReplayPlan& plan,
                      std::string& error);
    // Reads the capture file, then builds; false with a reason (not a capture, no board).
    static bool load(const std::string& path, ReplayPlan& plan, std::string& error);
};
