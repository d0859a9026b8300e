#include "service/outbox.h"

#include <cstdint>

#include "service/consolethrottle.h"
#include "service/waker.h"

Mutex tcpMutex;
std::deque<std::string> commands;

namespace {
// Made with the other process-wide objects, before anything can run out of descriptors.
Waker messageWake(true);

// The sum of the sizes of the messages in `commands`.
std::size_t commandsBytes GUARDED_BY(tcpMutex) = 0;
// Messages dropped at either bound since start, and their bytes.
uint64_t droppedMessages GUARDED_BY(tcpMutex) = 0;
uint64_t droppedBytes GUARDED_BY(tcpMutex) = 0;
}  // namespace

int messageWakeFd() {
    return messageWake.pollFd();
}

void clearMessageWake() {
    messageWake.clearPollable();
}

void pushMessage(std::string message) {
    bool wasEmpty;
    std::string dropLine;
    {
        MutexLock lock(tcpMutex);
        wasEmpty = commands.empty();
        std::size_t dropped = 0;
        std::size_t bytes = 0;
        bool byCount = false;
        while (!commands.empty() && (commands.size() >= COMMANDS_LIMIT ||
                                     commandsBytes + message.size() > COMMANDS_BYTES_LIMIT)) {
            byCount = byCount || commands.size() >= COMMANDS_LIMIT;
            bytes += commands.front().size();
            commandsBytes -= commands.front().size();
            commands.pop_front();
            ++dropped;
        }
        commandsBytes += message.size();
        commands.push_back(std::move(message));
        if (dropped > 0) {
            droppedMessages += dropped;
            droppedBytes += bytes;
            dropLine = "Client queue full (" +
                       (byCount ? std::to_string(COMMANDS_LIMIT) + " messages"
                                : std::to_string(COMMANDS_BYTES_LIMIT) + " bytes") +
                       "): dropped the oldest " + std::to_string(dropped) + " (" +
                       std::to_string(bytes) + " bytes); " + std::to_string(droppedMessages) +
                       " messages, " + std::to_string(droppedBytes) + " bytes dropped since start";
        }
    }
    // Telemetry keeps coming while nobody listens: once, then a count a minute.
    if (!dropLine.empty()) {
        consoleThrottle().print("outbox-dropped", dropLine);
    }
    // A queue that was not empty has been signalled already and not yet taken to the end,
    // since the server reads the wake-up before it empties the queue.
    if (wasEmpty) {
        messageWake.wake();
    }
}

bool takeMessage(std::string& message) {
    MutexLock lock(tcpMutex);
    if (commands.empty()) {
        return false;
    }
    message = std::move(commands.front());
    commands.pop_front();
    commandsBytes -= message.size();
    return true;
}

std::deque<std::string> takeAllMessages() {
    std::deque<std::string> taken;
    MutexLock lock(tcpMutex);
    taken.swap(commands);
    commandsBytes = 0;
    return taken;
}

void clearMessages() {
    // Freed outside the lock: a queue of charts takes a while to free.
    std::deque<std::string> stale = takeAllMessages();
}

std::size_t queuedMessageBytes() {
    MutexLock lock(tcpMutex);
    return commandsBytes;
}
