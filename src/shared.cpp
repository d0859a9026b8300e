#include "shared.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <iomanip>
#include <locale>
#include <sstream>

#include "channel.h"
#include "filedescriptor.h"

namespace tcp_commands {
const std::string TCP_DEVICE_ACTIVE = "device_active";
const std::string TCP_DEVICE_RPM = "device_rpm";
}  // namespace tcp_commands

std::deque<std::string> commands;
std::mutex tcpMutex;
std::mutex devMutex;
std::atomic<bool> isWorking{true};
std::atomic<bool> countersRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::map<std::string, int> deviceMap;
std::map<std::string, std::shared_ptr<Channel>> channelMap;
std::mutex channelMapMutex;
std::mutex decoderMutex;

namespace {
// Made with the other process-wide objects, before anything can run out of descriptors.
FileDescriptor messageWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}  // namespace

int messageWakeFd() {
    return messageWake.get();
}

void pushMessage(std::string message) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(tcpMutex);
        wasEmpty = commands.empty();
        if (commands.size() >= COMMANDS_LIMIT) {
            commands.pop_front();
        }
        commands.push_back(std::move(message));
    }
    // A queue that was not empty has been signalled already and not yet taken to the end,
    // since the server reads the wake-up before it empties the queue.
    if (wasEmpty) {
        uint64_t one = 1;
        ssize_t ignored = ::write(messageWake.get(), &one, sizeof one);
        (void)ignored;
    }
}

std::vector<std::pair<std::string, std::shared_ptr<Channel>>> channelSnapshot() {
    std::lock_guard<std::mutex> lock(channelMapMutex);
    return {channelMap.begin(), channelMap.end()};
}

namespace util {

uint64_t chartol(const unsigned char* bytes, int pos) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | bytes[pos + i];
    }
    return value;
}

int32_t chartoi(const unsigned char* bytes, int pos) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | bytes[pos + i];
    }
    // Two's-complement reading without relying on an implementation-defined conversion.
    return value <= 0x7FFFFFFFu ? static_cast<int32_t>(value) : -static_cast<int32_t>(~value) - 1;
}

uint16_t chartou16(const unsigned char* bytes, int pos) {
    return static_cast<uint16_t>((bytes[pos] << 8) | bytes[pos + 1]);
}

std::string get_formatted_value(double value) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(2) << value;
    return text.str();
}

void putBE16(unsigned char* bytes, int pos, uint32_t value) {
    bytes[pos] = static_cast<unsigned char>(value >> 8);
    bytes[pos + 1] = static_cast<unsigned char>(value);
}

void putBE32(unsigned char* bytes, int pos, uint32_t value) {
    bytes[pos] = static_cast<unsigned char>(value >> 24);
    bytes[pos + 1] = static_cast<unsigned char>(value >> 16);
    bytes[pos + 2] = static_cast<unsigned char>(value >> 8);
    bytes[pos + 3] = static_cast<unsigned char>(value);
}

}  // namespace util
