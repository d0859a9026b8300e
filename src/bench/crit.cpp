#include "bench/crit.h"

#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"

uint8_t CRIT::count;
uint8_t CRIT::channels;
uint32_t CRIT::width;
uint32_t CRIT::first;
uint32_t CRIT::interval;
uint8_t CRIT::reserved;
uint8_t CRIT::piezo;
uint8_t CRIT::active;
uint8_t CRIT::voltage;
uint8_t CRIT::osc;
int32_t CRIT::injectorI1;
int32_t CRIT::injectorI2;
uint8_t CRIT::pressureSensorType;
uint8_t CRIT::CRSDChannel;
int32_t CRIT::CRSDPressure;
int32_t CRIT::CRSDCurrent;
int32_t CRIT::CRSDDuty;
int32_t CRIT::CRSDFreq;
uint8_t CRIT::CRSDActive;
uint8_t CRIT::CRSDCurrentLimit;
std::atomic<int32_t> CRIT::delaySensitivity;
int32_t CRIT::leakageStartPressure;
int32_t CRIT::leakageHighPressure;
int32_t CRIT::leakageLowPressure;
int32_t CRIT::leakageMaxTime;
std::atomic<int32_t> CRIT::hx;
std::atomic<int32_t> CRIT::hy;
std::atomic<int32_t> CRIT::l;
std::atomic<int32_t> CRIT::offset;

namespace {

// Runs before main: every setting starts from its default.
[[maybe_unused]] const bool defaultsSet = (CRIT::restoreDefaults(), true);

std::unique_ptr<Command> build(unsigned char code, unsigned char access,
                               std::initializer_list<unsigned char> payload) {
    return std::make_unique<Command>(Command::makeData(code, access, payload.begin(),
                                                       static_cast<unsigned char>(payload.size())));
}

std::unique_ptr<Command> regulatorSetPoint(uint32_t current, uint32_t pressure, uint32_t duty,
                                           unsigned char mode) {
    unsigned char payload[10] = {CRIT::CRSDChannel};
    util::putBE16(payload, 1, current);
    util::putBE16(payload, 3, pressure);
    util::putBE16(payload, 5, duty);
    util::putBE16(payload, 7, static_cast<uint32_t>(CRIT::CRSDFreq));
    payload[9] = mode;
    return std::make_unique<Command>(
        Command::makeData(codes::REGULATOR_SET_POINT, ACCESS_COMMAND, payload, 10));
}

}  // namespace

void CRIT::restoreDefaults() {
    count = 6;
    channels = 1;
    width = 1200;
    first = 200;
    interval = 100000;
    reserved = 0;
    piezo = 0;
    active = 0;
    voltage = 60;
    osc = 0;
    injectorI1 = 25000;
    injectorI2 = 25000;
    pressureSensorType = 0;
    CRSDChannel = 0;
    CRSDPressure = 0;
    CRSDCurrent = 0;
    CRSDDuty = 0;
    CRSDFreq = 2000;
    CRSDActive = 0;
    CRSDCurrentLimit = 0;
    delaySensitivity = 13000;
    leakageStartPressure = 400;
    leakageHighPressure = 350;
    leakageLowPressure = 200;
    leakageMaxTime = 15000;
    hx = 1;
    hy = 1;
    l = 0;
    offset = 0;
}

int32_t CRIT::injCountFromMask() {
    int32_t n = 0;
    for (int bit = 0; bit < 8; ++bit) {
        n += (channels >> bit) & 1;
    }
    return n;
}

std::unique_ptr<Command> CRIT::setInjector() {
    uint32_t n = static_cast<uint32_t>(injCountFromMask());
    uint32_t period = n != 0 ? interval / n : interval;
    // The board takes the difference as a signed 32-bit value: one that is negative there (top
    // bit set) becomes 1. Unsigned arithmetic wraps, so no value overflows.
    uint32_t difference = width - first;
    uint32_t remaining = (difference & 0x80000000u) != 0 ? 1u : difference;
    uint32_t firstPart = width > first ? first : width;

    unsigned char payload[16] = {count, channels};
    util::putBE32(payload, 2, remaining);
    util::putBE32(payload, 6, firstPart);
    util::putBE32(payload, 10, period);
    payload[14] = reserved;
    payload[15] = piezo;
    return std::make_unique<Command>(
        Command::makeData(codes::INJECTOR_PULSE, ACCESS_COMMAND, payload, 16));
}

std::unique_ptr<Command> CRIT::setInjStatus() {
    return build(codes::INJECTOR_STATUS, ACCESS_COMMAND, {active});
}

std::unique_ptr<Command> CRIT::getInjStatus() {
    return build(codes::INJECTOR_STATUS, ACCESS_REQUEST, {});
}

std::unique_ptr<Command> CRIT::setI() {
    unsigned char payload[6] = {0};
    util::putBE16(payload, 1, static_cast<uint32_t>(injectorI1));
    util::putBE16(payload, 3, static_cast<uint32_t>(injectorI2));
    return std::make_unique<Command>(
        Command::makeData(codes::INJECTOR_CURRENTS, ACCESS_COMMAND, payload, 6));
}

std::unique_ptr<Command> CRIT::setVoltage() {
    return build(codes::VOLTAGE, ACCESS_COMMAND, {0, voltage});
}

std::unique_ptr<Command> CRIT::startOSC() {
    return build(codes::OSC_START, ACCESS_COMMAND, {osc});
}

std::unique_ptr<Command> CRIT::setSensorType() {
    return build(codes::PRESSURE_SENSOR, ACCESS_COMMAND, {pressureSensorType, 0});
}

std::unique_ptr<Command> CRIT::resetPressure() {
    return build(codes::PRESSURE_SENSOR, ACCESS_COMMAND, {0, 1});
}

std::unique_ptr<Command> CRIT::setCRSDPressure() {
    return regulatorSetPoint(0, static_cast<uint32_t>(CRSDPressure), 0, 2);
}

std::unique_ptr<Command> CRIT::setCRSDCurrent() {
    return regulatorSetPoint(static_cast<uint32_t>(CRSDCurrent), 0, 0, 0);
}

std::unique_ptr<Command> CRIT::setCRSDDuty() {
    return regulatorSetPoint(0, 0, static_cast<uint32_t>(CRSDDuty), 1);
}

std::unique_ptr<Command> CRIT::setCRSDStatus() {
    return build(codes::REGULATOR_STATUS, ACCESS_COMMAND,
                 {CRSDChannel, CRSDActive, CRSDCurrentLimit});
}

std::unique_ptr<Command> CRIT::setLeakage() {
    unsigned char payload[10];
    util::putBE16(payload, 0, static_cast<uint32_t>(leakageStartPressure));
    util::putBE16(payload, 2, static_cast<uint32_t>(leakageHighPressure));
    util::putBE16(payload, 4, static_cast<uint32_t>(leakageLowPressure));
    util::putBE32(payload, 6, static_cast<uint32_t>(leakageMaxTime));
    return std::make_unique<Command>(
        Command::makeData(codes::LEAKAGE, ACCESS_COMMAND, payload, 10));
}

std::unique_ptr<Command> CRIT::setDelaySensitivity() {
    unsigned char payload[5] = {0};
    util::putBE16(payload, 1, static_cast<uint32_t>(delaySensitivity.load()));
    return std::make_unique<Command>(
        Command::makeData(codes::DELAY_SENSITIVITY, ACCESS_COMMAND, payload, 5));
}

std::unique_ptr<Command> CRIT::reset() {
    return build(codes::DELAY_RESET, ACCESS_COMMAND, {});
}

std::unique_ptr<Command> CRIT::resetDelayMeter() {
    return build(codes::DELAY_RESET, ACCESS_COMMAND, {0x3F});
}
