// The injector tester as the daemon sees it: the current settings (with those of the three
// pressure-regulator channels, the delay meter's sensitivity and the leakage test) and one
// builder per command. Settings are written by the text command parser, on the server thread
// or on the fail-safe's (which holds its lock, ordered against the server's client hook).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

class Command;

class CRIT {
public:
    static uint8_t count;
    static uint8_t channels;  // bit mask of injector outputs
    static uint32_t width;
    static uint32_t first;
    static uint32_t interval;
    static uint8_t reserved;
    static uint8_t piezo;
    static uint8_t active;
    static uint8_t voltage;
    static uint8_t osc;
    static int32_t injectorI1;
    static int32_t injectorI2;
    static uint8_t pressureSensorType;
    static uint8_t CRSDChannel;
    static int32_t CRSDPressure;
    static int32_t CRSDCurrent;
    static int32_t CRSDDuty;
    static int32_t CRSDFreq;
    static uint8_t CRSDActive;
    static uint8_t CRSDCurrentLimit;
    // Read by the sender thread when it configures a delay meter.
    static std::atomic<int32_t> delaySensitivity;
    static int32_t leakageStartPressure;
    static int32_t leakageHighPressure;
    static int32_t leakageLowPressure;
    static int32_t leakageMaxTime;
    // Oscillogram calibration, written and read by the decoders under decoderMutex.
    static std::atomic<int32_t> hx;
    static std::atomic<int32_t> hy;
    static std::atomic<int32_t> l;
    static std::atomic<int32_t> offset;

    static std::unique_ptr<Command> setInjector();
    static std::unique_ptr<Command> setInjStatus();
    static std::unique_ptr<Command> getInjStatus();
    static std::unique_ptr<Command> setI();
    static std::unique_ptr<Command> setVoltage();
    static std::unique_ptr<Command> startOSC();
    static std::unique_ptr<Command> setSensorType();
    static std::unique_ptr<Command> resetPressure();
    static std::unique_ptr<Command> setCRSDPressure();
    static std::unique_ptr<Command> setCRSDCurrent();
    static std::unique_ptr<Command> setCRSDDuty();
    static std::unique_ptr<Command> setCRSDStatus();
    static std::unique_ptr<Command> setLeakage();
    static std::unique_ptr<Command> setDelaySensitivity();
    static std::unique_ptr<Command> reset();
    static std::unique_ptr<Command> resetDelayMeter();

    // Number of set bits among bits 0 to 7 of `channels`.
    static int32_t injCountFromMask();

    // Every setting back to its start-up value (tests).
    static void restoreDefaults();
};
