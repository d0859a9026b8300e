// The client text path: framing plus parsing on arbitrary bytes.
//
// Input: byte 0 gives the size of the receive blocks (1 to 256), the rest is the client's
// byte stream. The framer must cut the same messages whatever the blocks; each message goes
// through the parser with one identified board of every type (and one unidentified) in
// channelMap. A setting may change only through a well-formed message of its own key: the
// client settings are compared before and after every message, a value that does not read
// changes nothing and queues nothing, and a command reaches exactly the boards of its key's
// group.
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/stand.h"
#include "client/messageframer.h"
#include "client/tcpcommandparser.h"
#include "fuzzsupport.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"
#include "service/outbox.h"

namespace {

struct Field {
    const char* name;
    int64_t (*get)();
};

template <typename T>
int64_t load(const T& setting) {
    return static_cast<int64_t>(setting);
}
template <typename T>
int64_t load(const std::atomic<T>& setting) {
    return static_cast<int64_t>(setting.load());
}

// clang-format off
#define FIELD(setting) Field{#setting, [] { return load(setting); }}
// clang-format on

// Every setting of the device models, client-written or not.
const Field FIELDS[] = {
    FIELD(CRIT::count),
    FIELD(CRIT::channels),
    FIELD(CRIT::width),
    FIELD(CRIT::first),
    FIELD(CRIT::interval),
    FIELD(CRIT::reserved),
    FIELD(CRIT::piezo),
    FIELD(CRIT::active),
    FIELD(CRIT::voltage),
    FIELD(CRIT::osc),
    FIELD(CRIT::injectorI1),
    FIELD(CRIT::injectorI2),
    FIELD(CRIT::pressureSensorType),
    FIELD(CRIT::CRSDChannel),
    FIELD(CRIT::CRSDPressure),
    FIELD(CRIT::CRSDCurrent),
    FIELD(CRIT::CRSDDuty),
    FIELD(CRIT::CRSDFreq),
    FIELD(CRIT::CRSDActive),
    FIELD(CRIT::CRSDCurrentLimit),
    FIELD(CRIT::delaySensitivity),
    FIELD(CRIT::leakageStartPressure),
    FIELD(CRIT::leakageHighPressure),
    FIELD(CRIT::leakageLowPressure),
    FIELD(CRIT::leakageMaxTime),
    FIELD(CRIT::hx),
    FIELD(CRIT::hy),
    FIELD(CRIT::l),
    FIELD(CRIT::offset),
    FIELD(Stand::rpm),
    FIELD(Stand::rotateDirection),
    FIELD(Stand::active),
    FIELD(Stand::pump),
    FIELD(Stand::fan),
    FIELD(Stand::rpmFeedBack),
    FIELD(Stand::activeFeedBack),
    FIELD(Stand::rpmPrevious),
    FIELD(Stand::rpmCurrent),
    FIELD(Stand::rpmDelta),
    FIELD(Stand::ticksBetweenRPMCommand),
    FIELD(Stand::ticksBetweenDelta),
    FIELD(Stand::standConnected),
};
constexpr std::size_t FIELD_COUNT = sizeof FIELDS / sizeof FIELDS[0];

// Taken twice per message: a fixed array, so that the check allocates nothing.
using Snapshot = std::array<int64_t, FIELD_COUNT>;

Snapshot snapshot() {
    Snapshot values{};
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        values[i] = FIELDS[i].get();
    }
    return values;
}

int64_t valueOf(const Snapshot& values, const std::string& name) {
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        if (name == FIELDS[i].name) {
            return values[i];
        }
    }
    fuzz_support::fail("no field %s\n", name.c_str());
}

// How a key reads its value.
enum Reading { INTEGER_8, INTEGER_32, INTERVAL, TEMPERATURE, REAL, NOT_READ };
enum Group { TESTERS, STANDS, STAND62_ONLY, FLOWMETERS, DELAY_METERS };

struct Rule {
    Reading reading;
    // The settings the key may change; for the integer readings the first holds the value.
    std::vector<std::string> settings;
    Group receivers;
    int regulator = -1;  // CRIT::CRSDChannel after the message, for the regulator keys
};

const std::map<std::string, Rule>& rules() {
    static const std::map<std::string, Rule> table = {
        {"injector_active", {INTEGER_8, {"CRIT::active"}, TESTERS}},
        {"injector_count", {INTEGER_8, {"CRIT::count"}, TESTERS}},
        {"injector_channels", {INTEGER_8, {"CRIT::channels"}, TESTERS}},
        {"injector_width", {INTEGER_32, {"CRIT::width"}, TESTERS}},
        {"injector_first", {INTEGER_32, {"CRIT::first"}, TESTERS}},
        {"injector_interval", {INTERVAL, {"CRIT::interval"}, TESTERS}},
        {"injector_piezo", {INTEGER_8, {"CRIT::piezo"}, TESTERS}},
        {"injector_voltage", {INTEGER_8, {"CRIT::voltage"}, TESTERS}},
        {"osc", {INTEGER_8, {"CRIT::osc"}, TESTERS}},
        {"regulator1_active", {INTEGER_8, {"CRIT::CRSDActive", "CRIT::CRSDChannel"}, TESTERS, 0}},
        {"regulator2_active", {INTEGER_8, {"CRIT::CRSDActive", "CRIT::CRSDChannel"}, TESTERS, 1}},
        {"regulator3_active", {INTEGER_8, {"CRIT::CRSDActive", "CRIT::CRSDChannel"}, TESTERS, 2}},
        {"regulator1_pressure",
         {INTEGER_32, {"CRIT::CRSDPressure", "CRIT::CRSDChannel"}, TESTERS, 0}},
        {"regulator1_current", {REAL, {"CRIT::CRSDCurrent", "CRIT::CRSDChannel"}, TESTERS, 0}},
        {"regulator2_current", {REAL, {"CRIT::CRSDCurrent", "CRIT::CRSDChannel"}, TESTERS, 1}},
        {"regulator3_current", {REAL, {"CRIT::CRSDCurrent", "CRIT::CRSDChannel"}, TESTERS, 2}},
        {"regulator1_duty_cycle", {REAL, {"CRIT::CRSDDuty", "CRIT::CRSDChannel"}, TESTERS, 0}},
        {"regulator2_duty_cycle", {REAL, {"CRIT::CRSDDuty", "CRIT::CRSDChannel"}, TESTERS, 1}},
        {"regulator3_duty_cycle", {REAL, {"CRIT::CRSDDuty", "CRIT::CRSDChannel"}, TESTERS, 2}},
        {"injector_i1", {REAL, {"CRIT::injectorI1"}, TESTERS}},
        {"injector_i2", {REAL, {"CRIT::injectorI2"}, TESTERS}},
        {"sensor_type", {INTEGER_8, {"CRIT::pressureSensorType"}, TESTERS}},
        {"device_rpm", {INTEGER_32, {"Stand::rpm"}, STANDS}},
        {"device_rotate", {INTEGER_8, {"Stand::rotateDirection"}, STANDS}},
        {"device_pump", {INTEGER_8, {"Stand::pump"}, STANDS}},
        {"device_fan", {INTEGER_8, {"Stand::fan"}, STANDS}},
        {"device_active", {INTEGER_8, {"Stand::active"}, STANDS}},
        {"device_temperature", {TEMPERATURE, {}, STAND62_ONLY}},
        {"flowmeter_reset", {NOT_READ, {}, FLOWMETERS}},
        {"delaymeter_reset", {NOT_READ, {}, DELAY_METERS}},
        {"delaymeter_sensitivity", {REAL, {"CRIT::delaySensitivity"}, DELAY_METERS}},
        {"injector_status", {NOT_READ, {}, TESTERS}},
        {"pressure_reset", {NOT_READ, {}, TESTERS}},
        {"leakage_max_time", {INTEGER_32, {"CRIT::leakageMaxTime"}, TESTERS}},
        {"leakage_start_pressure", {INTEGER_32, {"CRIT::leakageStartPressure"}, TESTERS}},
        {"leakage_high_pressure", {INTEGER_32, {"CRIT::leakageHighPressure"}, TESTERS}},
        {"leakage_low_pressure", {INTEGER_32, {"CRIT::leakageLowPressure"}, TESTERS}},
    };
    return table;
}

bool inGroup(Group group, int device) {
    using namespace known_devices;
    switch (group) {
        case TESTERS:
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

const int DEVICES[] = {known_devices::CRIT0303, known_devices::CRIT0304,  known_devices::STAND,
                       known_devices::STAND62,  known_devices::FLOWMETER, known_devices::DELAYMETER,
                       known_devices::CRSD,     known_devices::UNKNOWN};
constexpr std::size_t DEVICE_COUNT = sizeof DEVICES / sizeof DEVICES[0];
std::vector<std::shared_ptr<Channel>> channels;

// The value as the C library reads it: whether a number was there, and whether it fits.
struct Read {
    bool present;
    bool fits;
    long integer;
};

Read readInteger(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    return {end != start, errno != ERANGE && value >= INT32_MIN && value <= INT32_MAX, value};
}

Read readReal(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(start, &end);
    return {end != start, errno != ERANGE && std::isfinite(value), 0};
}

void checkMessage(const std::string& message) {
    const Snapshot before = snapshot();
    TcpCommandParser::parse(message);
    const Snapshot after = snapshot();
    std::size_t queued[DEVICE_COUNT];
    for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
        queued[i] = fuzz_support::drainSendQueue(*channels[i]);
    }
    const auto nothingHappened = [&](const char* why) {
        FUZZ_CHECK(after == before, "[%s] changed a setting: %s\n", message.c_str(), why);
        for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
            FUZZ_CHECK(queued[i] == 0, "[%s] queued a command: %s\n", message.c_str(), why);
        }
    };

    const std::size_t colon = message.find(':');
    if (colon == std::string::npos) {
        nothingHappened("no key");
        return;
    }
    const auto rule = rules().find(message.substr(0, colon));
    if (rule == rules().end()) {
        nothingHappened("unknown key");
        return;
    }
    const Rule& key = rule->second;
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        bool allowed = false;
        for (const std::string& name : key.settings) {
            allowed = allowed || name == FIELDS[i].name;
        }
        FUZZ_CHECK(allowed || after[i] == before[i], "[%s] changed %s\n", message.c_str(),
                   FIELDS[i].name);
    }

    const std::size_t next = message.find(':', colon + 1);
    const std::string value =
        message.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    bool accepted = false;  // the value certainly reads: the message must take effect
    switch (key.reading) {
        case INTEGER_8:
        case INTEGER_32:
        case INTERVAL:
        case TEMPERATURE: {
            const Read read = readInteger(value);
            if (!read.present) {
                nothingHappened("no number");
                return;
            }
            if (!read.fits) {
                nothingHappened("number out of range");
                return;
            }
            // Only the interval reads on, as a real that may still be refused.
            accepted = key.reading != INTERVAL;
            if (key.reading == INTEGER_8 || key.reading == INTEGER_32) {
                const uint32_t mask = key.reading == INTEGER_8 ? 0xFFu : 0xFFFFFFFFu;
                const uint32_t stored = static_cast<uint32_t>(valueOf(after, key.settings[0]));
                FUZZ_CHECK(stored == (static_cast<uint32_t>(read.integer) & mask),
                           "[%s] stored %u in %s\n", message.c_str(), stored,
                           key.settings[0].c_str());
            }
            break;
        }
        case REAL: {
            const Read read = readReal(value);
            if (!read.present || !read.fits) {
                nothingHappened("no finite number");
                return;
            }
            break;
        }
        case NOT_READ:
            accepted = true;
            break;
    }
    // A refused value (a scaled one that does not fit) queues nothing; an accepted one
    // reaches every board of the group and no other.
    bool any = false;
    for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
        any = any || queued[i] != 0;
    }
    FUZZ_CHECK(any || !accepted, "[%s] queued nothing\n", message.c_str());
    if (any && key.regulator >= 0) {
        FUZZ_CHECK(valueOf(after, "CRIT::CRSDChannel") == key.regulator,
                   "[%s] addressed regulator channel %d\n", message.c_str(),
                   static_cast<int>(valueOf(after, "CRIT::CRSDChannel")));
    }
    for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
        if (any) {
            FUZZ_CHECK((queued[i] != 0) == inGroup(key.receivers, DEVICES[i]),
                       "[%s] reached %zu commands to device %d\n", message.c_str(), queued[i],
                       DEVICES[i]);
        }
    }
    FUZZ_CHECK(any || after == before, "[%s] changed settings but queued nothing\n",
               message.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    MutexLock lock(channelMapMutex);
    for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
        channels.push_back(fuzz_support::makeIdleChannel(DEVICES[i]));
        channelMap["fuzz" + std::to_string(i)] = channels.back();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    if (size == 0) {
        return 0;
    }
    CRIT::restoreDefaults();
    Stand::restoreDefaults();
    const std::size_t block = input[0] + 1u;
    const char* stream = reinterpret_cast<const char*>(input + 1);
    const std::size_t streamSize = size - 1;

    std::vector<std::string> whole;
    MessageFramer oneRead;
    oneRead.feed(stream, streamSize, [&](const std::string& message) { whole.push_back(message); });

    std::vector<std::string> messages;
    MessageFramer framer;
    for (std::size_t offset = 0; offset < streamSize; offset += block) {
        framer.feed(stream + offset, std::min(block, streamSize - offset),
                    [&](const std::string& message) { messages.push_back(message); });
    }
    FUZZ_CHECK(messages == whole, "blocks of %zu cut %zu messages, one read %zu\n", block,
               messages.size(), whole.size());
    for (const std::string& message : messages) {
        FUZZ_CHECK(message.size() <= MessageFramer::MESSAGE_LIMIT, "a %zu-byte message\n",
                   message.size());
        checkMessage(message);
    }
    fuzz_support::drainClientMessages();
    return 0;
}
