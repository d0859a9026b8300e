// Reports carrying measurement series or test progress: the flowmeter's flow and
// calibration, the delay meter's summary and the leakage test's progress. None depends on
// which board sent it.
#pragma once

#include <cstdint>

class Command;

class TelemetryMeters {
public:
    // Each handler queues one client message. A report shorter than the layout it reads is
    // dropped whole. Call with decoderMutex held.
    static void flow(const Command& command);         // code 55
    static void calibration(const Command& command);  // code 53
    static void delayMeter(const Command& command);   // code 62
    static void leakage(const Command& command);      // code 27

    // The latest delay report's figures; guarded by decoderMutex.
    static int32_t delayCount;
    static int32_t delayAverage;  // total / count, or 0 without measurements
    static int32_t delayMin;      // never negative
    static int32_t delayMax;

    // The delay figures back to 0 (tests).
    static void resetDelayFigures();
};
