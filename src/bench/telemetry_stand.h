// Reports of the test stand: rotation speed with the motor guard, rotation active,
// temperatures and stand state. The guard stops the motor itself (a rotation-active 1 then 0
// on the reporting channel) when, while the stand reports its rotation as inactive, the speed
// stays steady, or within 10 % of the commanded speed, for 11 consecutive reports.
#pragma once

#include "bench/decoder.h"

class Channel;
class Command;

class TelemetryStand {
public:
    // Each handler queues its client messages in order. A report shorter than the layout it
    // reads is dropped whole. Call with decoderMutex held (the guard state in Stand is
    // guarded by it); the stop sequence takes devMutex.
    static void rotationSpeed(Channel& channel, const Command& command)
        REQUIRES(decoderMutex);  // code 41
    static void rotationActive(const Channel& channel, const Command& command)
        REQUIRES(decoderMutex);                                               // code 42
    static void temperatures(const Command& command) REQUIRES(decoderMutex);  // code 46
    static void standState(const Command& command) REQUIRES(decoderMutex);    // code 47
};
