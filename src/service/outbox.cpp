#include "service/outbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "service/filedescriptor.h"

std::deque<std::string> commands;
std::mutex tcpMutex;

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
