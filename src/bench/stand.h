// The test stand: the client's settings, the motor guard's state and the stand's builders.
#pragma once

#include "bench/decoder.h"

#include <atomic>
#include <cstdint>
#include <memory>

class Command;

class Stand {
public:
    // Client settings; `rpm` is also read by the decoders' motor guard.
    static std::atomic<int32_t> rpm;
    static uint8_t rotateDirection;
    static uint8_t active;
    static uint8_t pump;
    static uint8_t fan;

    // Motor guard state.
    static int32_t rpmFeedBack GUARDED_BY(decoderMutex);
    static int32_t activeFeedBack GUARDED_BY(decoderMutex);
    static int32_t rpmPrevious GUARDED_BY(decoderMutex);
    static int32_t rpmCurrent GUARDED_BY(decoderMutex);
    static int32_t rpmDelta GUARDED_BY(decoderMutex);
    static uint32_t ticksBetweenRPMCommand GUARDED_BY(decoderMutex);
    static uint32_t ticksBetweenDelta GUARDED_BY(decoderMutex);
    // A stand is identified: set by the decoder, cleared by the watcher.
    static std::atomic<bool> standConnected;

    static std::unique_ptr<Command> setRPM();
    static std::unique_ptr<Command> setRotateActive();
    // With an explicit state; `active` is neither read nor changed.
    static std::unique_ptr<Command> setRotateActive(unsigned char state);
    static std::unique_ptr<Command> setFanState();
    static std::unique_ptr<Command> setPumpState();
    // The temperature set-point (code 46), in hundredths of a degree.
    static std::unique_ptr<Command> setTemperature(int32_t hundredths);

    // Every setting and guard value back to its start-up value (tests).
    static void restoreDefaults() NO_THREAD_SAFETY_ANALYSIS;
};
