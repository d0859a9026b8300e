#include "fuzzsupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "link/channel.h"
#include "link/sendmanager.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/outbox.h"

namespace fuzz_support {

void silenceConsole() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::fprintf(stderr, "cannot silence standard output\n");
    }
}

ConsoleSettled::~ConsoleSettled() {
    console::drain();
}

std::shared_ptr<Channel> makeIdleChannel(int device, FileDescriptor fd) {
    auto channel = std::make_shared<Channel>(std::move(fd),
                                             ChannelOptions{false, std::chrono::milliseconds(0)});
    restoreIdentity(*channel, device);
    return channel;
}

void restoreIdentity(Channel& channel, int device) {
    channel.setDevice(static_cast<unsigned char>(device));
    channel.setDefined(device != known_devices::UNKNOWN);
    channel.setConfigured(device != known_devices::UNKNOWN);
    channel.resetTimeoutCounter();
}

std::size_t drainSendQueue(Channel& channel) {
    std::size_t count = 0;
    while (channel.sendManager->popQueued()) {
        ++count;
    }
    return count;
}

void drainClientMessages() {
    std::deque<std::string> taken = takeAllMessages();
    for (const std::string& message : taken) {
        // The client cuts its stream at ";": a message with another ";" would become two.
        const std::size_t colon = message.find(':');
        FUZZ_CHECK(!message.empty() && message.back() == ';' &&
                       message.find(';') == message.size() - 1 && colon != std::string::npos &&
                       colon > 0,
                   "malformed client message [%s]\n", message.c_str());
    }
}

void fail(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::fprintf(stderr, "FUZZ CHECK FAILED: ");
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz_support
