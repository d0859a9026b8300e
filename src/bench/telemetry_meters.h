// Reports carrying measurement series or test progress: the flowmeter's flow and
// calibration, the delay meter's summary and the leakage test's progress. None depends on
// which board sent it.
#pragma once

#include <cstdint>

#include "bench/decoder.h"

class Command;

class TelemetryMeters {
public:
    // Each handler queues one client message. A report shorter than the layout it reads is
    // dropped whole. Call with decoderMutex held.
    static void flow(const Command& command) REQUIRES(decoderMutex);         // code 55
    static void calibration(const Command& command) REQUIRES(decoderMutex);  // code 53
    static void delayMeter(const Command& command) REQUIRES(decoderMutex);   // code 62
    static void leakage(const Command& command) REQUIRES(decoderMutex);      // code 27

    // The latest delay report's figures.
    static int32_t delayCount GUARDED_BY(decoderMutex);
    static int32_t delayAverage
        GUARDED_BY(decoderMutex);                      // total / count, or 0 without measurements
    static int32_t delayMin GUARDED_BY(decoderMutex);  // never negative
    static int32_t delayMax GUARDED_BY(decoderMutex);

    // The delay figures back to 0 (tests).
    static void resetDelayFigures() REQUIRES(decoderMutex);
};
