// The report handlers: any code, any payload, any length, from a board of any type.
//
// Input: a run of records, each a board selector, a message code, a length and up to that
// many payload bytes (fewer where the input ends). The records go through dispatch in order,
// so that chart segments, calibration and the motor guard build on earlier reports; every
// input starts from the start-up state. The bytes of `data` beyond the length are poisoned,
// so a handler that reads past its payload is caught, not just one that leaves the record.
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/crit.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "bench/telemetry_crit.h"
#include "bench/telemetry_meters.h"
#include "fuzzsupport.h"
#include "link/channel.h"
#include "link/sendmanager.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"

namespace {

const int DEVICES[] = {known_devices::CRIT0303, known_devices::CRIT0304,  known_devices::STAND,
                       known_devices::STAND62,  known_devices::FLOWMETER, known_devices::DELAYMETER,
                       known_devices::CRSD,     known_devices::UNKNOWN};
constexpr std::size_t DEVICE_COUNT = sizeof DEVICES / sizeof DEVICES[0];
std::vector<std::shared_ptr<Channel>> channels;

void restoreStartState() {
    CRIT::restoreDefaults();
    Stand::restoreDefaults();
    {
        MutexLock lock(decoderMutex);
        TelemetryCrit::resetCharts();
        TelemetryMeters::resetDelayFigures();
    }
    for (std::size_t i = 0; i < DEVICE_COUNT; ++i) {
        fuzz_support::restoreIdentity(*channels[i], DEVICES[i]);
        fuzz_support::drainSendQueue(*channels[i]);
    }
    fuzz_support::drainClientMessages();
}

// The one command a report may cause: the motor guard's stop, on the reporting stand.
void checkSendQueue(Channel& channel, int deviceBefore) {
    while (std::unique_ptr<Command> command = channel.sendManager->popQueued()) {
        FUZZ_CHECK(
            known_devices::isStand(deviceBefore) && command->code() == codes::ROTATION_ACTIVE,
            "a report queued code %d on a board of type %d\n", command->code(), deviceBefore);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    for (int device : DEVICES) {
        channels.push_back(fuzz_support::makeIdleChannel(device));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    restoreStartState();
    auto command = std::make_unique<Command>();
    std::size_t offset = 0;
    while (offset + 3 <= size) {
        Channel& channel = *channels[input[offset] % DEVICE_COUNT];
        const unsigned char code = input[offset + 1];
        const std::size_t length = std::min<std::size_t>(input[offset + 2], size - offset - 3);
        offset += 3;

        *command = Command();
        command->type = FRAME_DATA;
        command->header[0] = 0;
        command->header[1] = code;
        command->header[2] = ACCESS_COMMAND;
        command->header[3] = static_cast<unsigned char>(length);
        std::memcpy(command->data, input + offset, length);
        offset += length;

        const int deviceBefore = channel.getDevice();
        ASAN_POISON_MEMORY_REGION(command->data + length, sizeof command->data - length);
        dispatch(channel, *command);
        ASAN_UNPOISON_MEMORY_REGION(command->data + length, sizeof command->data - length);
        checkSendQueue(channel, deviceBefore);
        fuzz_support::drainClientMessages();
    }
    return 0;
}
