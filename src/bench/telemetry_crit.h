// Reports of the injector tester: pressures (and the stand's pressure sensor, which shares
// code 10), injector status, oscillogram calibration, the six oscillogram charts assembled
// across segments, and the three pressure-regulator channels.
#pragma once

#include <cstdint>

#include "bench/decoder.h"

class Channel;
class Command;

class TelemetryCrit {
public:
    static constexpr int CHART_COUNT = 6;

    // Each handler queues its client messages in order. A report shorter than the layout it
    // reads is dropped whole. Call with decoderMutex held.
    static void pressures(const Channel& channel, const Command& command)
        REQUIRES(decoderMutex);                                                 // code 10
    static void injectorStatus(const Command& command) REQUIRES(decoderMutex);  // code 12
    static void calibration(const Command& command) REQUIRES(decoderMutex);     // code 16
    // One segment of chart 1 to 6 (codes 21 to 26); `chart` is 0 to 5. Each board's charts are
    // collected apart: two testers streaming at once must not fill each other's.
    static void chartSegment(const Channel& channel, int chart, const Command& command)
        REQUIRES(decoderMutex);
    static void regulators(const Command& command) REQUIRES(decoderMutex);  // code 31

    // A raw oscillogram sample in the board's units, with the current calibration. While the
    // calibration's divisor is 0 the sample has no scale and converts to 0.
    static double convertSample(uint16_t raw);

    // Every chart back to idle and empty (tests). Call with decoderMutex held or no decoder
    // running.
    static void resetCharts() REQUIRES(decoderMutex);
};
