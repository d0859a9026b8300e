#include "client/tcpcommandparser.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

#include "bench/crit.h"
#include "bench/flowmeter.h"
#include "bench/stand.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/clientmessage.h"
#include "service/console.h"
#include "service/outbox.h"

bool TcpCommandParser::sended = false;

namespace {

const std::string TCP_DEVICE_ACTIVE = "device_active";
const std::string TCP_DEVICE_RPM = "device_rpm";

constexpr const char* INVALID_VALUE = "invalid value";
constexpr const char* OUT_OF_RANGE = "value out of range";

// A client value made ready for its setting: a number that fits it, or why there is none.
struct Reading {
    int64_t value = 0;
    const char* error = nullptr;
};

Reading refused(const char* reason) {
    return {0, reason};
}

// Read as strtol in base 10 reads (leading space skipped, trailing characters such as a CR
// ignored); the settings are 32-bit, so the number must fit a signed 32-bit integer.
Reading readInteger(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(start, &end, 10);
    if (end == start) {
        return refused(INVALID_VALUE);
    }
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        return refused(OUT_OF_RANGE);
    }
    return {value, nullptr};
}

// Read as strtod reads; only a finite number is a value. Returns the reason on failure.
const char* readReal(const std::string& text, double& real) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    real = std::strtod(start, &end);
    if (end == start) {
        return INVALID_VALUE;
    }
    if (errno == ERANGE || !std::isfinite(real)) {
        return OUT_OF_RANGE;
    }
    return nullptr;
}

// trunc(r * Scale + Offset). The range is checked on the double, before any cast.
template <int Scale, int Offset>
Reading readScaledReal(const std::string& text) {
    double real = 0;
    if (const char* error = readReal(text, real)) {
        return refused(error);
    }
    double scaled = std::trunc(real * Scale + Offset);
    if (!(scaled >= INT32_MIN && scaled <= INT32_MAX)) {
        return refused(OUT_OF_RANGE);
    }
    return {static_cast<int64_t>(scaled), nullptr};
}

// The client gives a rate: an integer part of 0 means no pulses (0); otherwise the period is
// 1,000,000 / r truncated to 64 bits, of which the setting keeps the low 32.
Reading readInterval(const std::string& text) {
    Reading whole = readInteger(text);
    if (whole.error != nullptr || whole.value == 0) {
        return whole;
    }
    double real = 0;
    if (const char* error = readReal(text, real)) {
        return refused(error);
    }
    double quotient = std::trunc(1000000.0 / real);
    constexpr double INT64_LIMIT = 9223372036854775808.0;  // 2^63, exact as a double
    if (!(quotient >= -INT64_LIMIT && quotient < INT64_LIMIT)) {
        return refused(OUT_OF_RANGE);
    }
    uint64_t bits = static_cast<uint64_t>(static_cast<int64_t>(quotient));
    return {static_cast<int64_t>(bits & 0xFFFFFFFFu), nullptr};
}

// Whole degrees to hundredths. The set-point field wraps at 32 bits: the product is taken in
// 64 bits and its low 32 bits read back as a signed number.
Reading readTemperature(const std::string& text) {
    Reading degrees = readInteger(text);
    if (degrees.error != nullptr) {
        return degrees;
    }
    int64_t bits = static_cast<int64_t>(static_cast<uint64_t>(degrees.value * 100) & 0xFFFFFFFFu);
    return {bits > INT32_MAX ? bits - 0x100000000 : bits, nullptr};
}

Reading notRead(const std::string&) {
    return {};
}

// Narrower settings keep the low bits of the value.
void assign(uint8_t& setting, int64_t value) {
    setting = static_cast<uint8_t>(value);
}
void assign(uint32_t& setting, int64_t value) {
    setting = static_cast<uint32_t>(value);
}
void assign(int32_t& setting, int64_t value) {
    setting = static_cast<int32_t>(value);
}
void assign(std::atomic<int32_t>& setting, int64_t value) {
    setting.store(static_cast<int32_t>(value));
}

template <auto* Setting>
void store(int64_t value) {
    assign(*Setting, value);
}

// The regulator keys address one of the three regulator channels (0 to 2).
template <uint8_t Regulator, auto* Setting>
void storeRegulator(int64_t value) {
    CRIT::CRSDChannel = Regulator;
    assign(*Setting, value);
}

using Commands = std::vector<std::unique_ptr<Command>>;

template <std::unique_ptr<Command> (*Builder)()>
Commands one(int64_t) {
    Commands commands;
    commands.push_back(Builder());
    return commands;
}

Commands temperature(int64_t hundredths) {
    Commands commands;
    commands.push_back(Stand::setTemperature(static_cast<int32_t>(hundredths)));
    return commands;
}

// The board takes the plain reset first, then the delay meter's own.
Commands delayMeterReset(int64_t) {
    Commands commands;
    commands.push_back(CRIT::reset());
    commands.push_back(CRIT::resetDelayMeter());
    return commands;
}

// Receiver groups by board type.
enum Group { INJECTOR_TESTERS, STANDS, STAND62_ONLY, FLOWMETERS, DELAY_METERS };

// An unidentified board (255) belongs to no group.
bool belongs(Group group, int device) {
    using namespace known_devices;
    switch (group) {
        case INJECTOR_TESTERS:
            return isTester(device);
        case STANDS:
            return isStand(device);
        case STAND62_ONLY:
            return device == STAND62;
        case FLOWMETERS:
            return device == FLOWMETER;
        case DELAY_METERS:
            return device == DELAYMETER;
    }
    return false;
}

// What the built command is to the board. A setting carries the whole state of its command
// (a newer one makes an older one, still queued, needless); an addressed setting does so for
// the channel its first payload byte picks (a regulator, the stand's fan or pump). Anything
// else (a reset, a request) is an action, sent however many come.
enum Sent { SETTING, ADDRESSED, ACTION };

struct Key {
    std::string name;
    Reading (*read)(const std::string& value);
    void (*store)(int64_t value);  // null when the key changes no setting
    Commands (*build)(int64_t value);
    Group receivers;
    Sent sent;
};

// clang-format off
const std::vector<Key>& keys() {
    // Built on first use, so that no other unit's static initialisation finds it unbuilt.
    static const std::vector<Key> table = {
        {"injector_active", readInteger, store<&CRIT::active>, one<CRIT::setInjStatus>, INJECTOR_TESTERS, SETTING},
        {"injector_count", readInteger, store<&CRIT::count>, one<CRIT::setInjector>, INJECTOR_TESTERS, SETTING},
        {"injector_channels", readInteger, store<&CRIT::channels>, one<CRIT::setInjector>, INJECTOR_TESTERS, SETTING},
        {"injector_width", readInteger, store<&CRIT::width>, one<CRIT::setInjector>, INJECTOR_TESTERS, SETTING},
        {"injector_first", readInteger, store<&CRIT::first>, one<CRIT::setInjector>, INJECTOR_TESTERS, SETTING},
        {"injector_interval", readInterval, store<&CRIT::interval>, one<CRIT::setInjector>, INJECTOR_TESTERS, SETTING},
        {"injector_piezo", readInteger, store<&CRIT::piezo>, one<CRIT::setInjector>, INJECTOR_TESTERS, SETTING},
        {"injector_voltage", readInteger, store<&CRIT::voltage>, one<CRIT::setVoltage>, INJECTOR_TESTERS, SETTING},
        {"osc", readInteger, store<&CRIT::osc>, one<CRIT::startOSC>, INJECTOR_TESTERS, SETTING},
        {"regulator1_active", readInteger, storeRegulator<0, &CRIT::CRSDActive>, one<CRIT::setCRSDStatus>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator2_active", readInteger, storeRegulator<1, &CRIT::CRSDActive>, one<CRIT::setCRSDStatus>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator3_active", readInteger, storeRegulator<2, &CRIT::CRSDActive>, one<CRIT::setCRSDStatus>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator1_pressure", readInteger, storeRegulator<0, &CRIT::CRSDPressure>, one<CRIT::setCRSDPressure>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator1_current", readScaledReal<1000, 0>, storeRegulator<0, &CRIT::CRSDCurrent>, one<CRIT::setCRSDCurrent>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator1_duty_cycle", readScaledReal<10, 0>, storeRegulator<0, &CRIT::CRSDDuty>, one<CRIT::setCRSDDuty>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator2_current", readScaledReal<1000, 0>, storeRegulator<1, &CRIT::CRSDCurrent>, one<CRIT::setCRSDCurrent>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator2_duty_cycle", readScaledReal<10, 0>, storeRegulator<1, &CRIT::CRSDDuty>, one<CRIT::setCRSDDuty>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator3_current", readScaledReal<1000, 0>, storeRegulator<2, &CRIT::CRSDCurrent>, one<CRIT::setCRSDCurrent>, INJECTOR_TESTERS, ADDRESSED},
        {"regulator3_duty_cycle", readScaledReal<10, 0>, storeRegulator<2, &CRIT::CRSDDuty>, one<CRIT::setCRSDDuty>, INJECTOR_TESTERS, ADDRESSED},
        {"injector_i1", readScaledReal<250, 25000>, store<&CRIT::injectorI1>, one<CRIT::setI>, INJECTOR_TESTERS, SETTING},
        {"injector_i2", readScaledReal<250, 25000>, store<&CRIT::injectorI2>, one<CRIT::setI>, INJECTOR_TESTERS, SETTING},
        {"sensor_type", readInteger, store<&CRIT::pressureSensorType>, one<CRIT::setSensorType>, INJECTOR_TESTERS, SETTING},
        {TCP_DEVICE_RPM, readInteger, store<&Stand::rpm>, one<Stand::setRPM>, STANDS, SETTING},
        {"device_rotate", readInteger, store<&Stand::rotateDirection>, one<Stand::setRPM>, STANDS, SETTING},
        {"device_pump", readInteger, store<&Stand::pump>, one<Stand::setPumpState>, STANDS, ADDRESSED},
        {"device_fan", readInteger, store<&Stand::fan>, one<Stand::setFanState>, STANDS, ADDRESSED},
        {TCP_DEVICE_ACTIVE, readInteger, store<&Stand::active>, one<Stand::setRotateActive>, STANDS, SETTING},
        {"device_temperature", readTemperature, nullptr, temperature, STAND62_ONLY, SETTING},
        {"flowmeter_reset", notRead, nullptr, one<Flowmeter::reset>, FLOWMETERS, ACTION},
        {"delaymeter_reset", notRead, nullptr, delayMeterReset, DELAY_METERS, ACTION},
        {"delaymeter_sensitivity", readScaledReal<10000, 0>, store<&CRIT::delaySensitivity>, one<CRIT::setDelaySensitivity>, DELAY_METERS, SETTING},
        {"injector_status", notRead, nullptr, one<CRIT::getInjStatus>, INJECTOR_TESTERS, ACTION},
        {"pressure_reset", notRead, nullptr, one<CRIT::resetPressure>, INJECTOR_TESTERS, ACTION},
        {"leakage_max_time", readInteger, store<&CRIT::leakageMaxTime>, one<CRIT::setLeakage>, INJECTOR_TESTERS, SETTING},
        {"leakage_start_pressure", readInteger, store<&CRIT::leakageStartPressure>, one<CRIT::setLeakage>, INJECTOR_TESTERS, SETTING},
        {"leakage_high_pressure", readInteger, store<&CRIT::leakageHighPressure>, one<CRIT::setLeakage>, INJECTOR_TESTERS, SETTING},
        {"leakage_low_pressure", readInteger, store<&CRIT::leakageLowPressure>, one<CRIT::setLeakage>, INJECTOR_TESTERS, SETTING},
    };
    return table;
}
// clang-format on

const Key* findKey(const std::string& name) {
    for (const Key& key : keys()) {
        if (key.name == name) {
            return &key;
        }
    }
    return nullptr;
}

// The stand's rotation off: it must reach the motor within milliseconds, however many
// settings wait before it.
bool isMotorStop(const Command& command) {
    return command.code() == codes::ROTATION_ACTIVE && command.length() >= 1 &&
           command.data[0] == 0;
}

// Settings of one key supersede each other on a board that lags.
uint32_t mergeKey(const Command& command, Sent sent) {
    if (sent == ADDRESSED && command.length() > 0) {
        return command.code() | static_cast<uint32_t>(command.data[0] + 1) << 8;
    }
    return command.code();
}

// Every receiving board (or `only`) gets copies of its own: its send manager frees what it has
// sent.
void route(const Commands& commands, const Key& key, const Channel* only) {
    for (const auto& entry : channelSnapshot()) {
        Channel& channel = *entry.second;
        if ((only != nullptr && &channel != only) || !belongs(key.receivers, channel.getDevice())) {
            continue;
        }
        Commands copies;
        for (const auto& command : commands) {
            copies.push_back(std::make_unique<Command>(*command));
        }
        if (key.sent == ACTION) {
            channel.sendManager->enqueue(std::move(copies));
        } else {
            for (auto& copy : copies) {
                const uint32_t merge = mergeKey(*copy, key.sent);
                if (isMotorStop(*copy)) {
                    channel.sendManager->enqueueStop(std::move(copy), merge);
                } else {
                    channel.sendManager->enqueueSetting(std::move(copy), merge);
                }
            }
        }
        TcpCommandParser::sended = true;
    }
}

void reportError(const char* reason) {
    console::out(std::string("Parser error: ") + reason);
}

}  // namespace

void TcpCommandParser::parse(std::string message, const Channel* only) {
    sended = false;
    try {
        const ClientMessage parsed = ClientMessage::parse(message);
        if (!parsed.hasValue) {
            return;
        }
        const Key* key = findKey(parsed.key);
        if (key == nullptr) {
            return;
        }
        // Read before storing anything, so that a refused value changes no setting. Every
        // reader stops at the first character that is not part of its number, a further ':'
        // among them.
        Reading reading = key->read(parsed.value);
        if (reading.error != nullptr) {
            reportError(reading.error);
            return;
        }
        if (key->store != nullptr) {
            key->store(reading.value);
        }
        // Commands no board took die here; the settings keep their new values.
        route(key->build(reading.value), *key, only);
    } catch (const std::bad_alloc&) {
        reportError("out of memory");
    } catch (const std::exception& error) {
        reportError(error.what());
    }
}

std::vector<std::string> TcpCommandParser::keyNames() {
    std::vector<std::string> names;
    for (const Key& key : keys()) {
        names.push_back(key.name);
    }
    return names;
}
