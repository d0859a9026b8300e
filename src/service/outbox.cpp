#include "service/outbox.h"

#include <atomic>
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

// The observers' copies (see enableMessageCopies).
Waker copyWake(true);
std::atomic<bool> copiesEnabled{false};
std::deque<std::string> copies GUARDED_BY(tcpMutex);
std::size_t copiesBytes GUARDED_BY(tcpMutex) = 0;
uint64_t copiesDropped GUARDED_BY(tcpMutex) = 0;

// Queues the copy of one message; true when the monitor should be woken.
bool copyMessage(const std::string& message) REQUIRES(tcpMutex) {
    while (!copies.empty() && (copies.size() >= COMMANDS_LIMIT ||
                               copiesBytes + message.size() > COMMANDS_BYTES_LIMIT)) {
        copiesBytes -= copies.front().size();
        copies.pop_front();
        ++copiesDropped;
    }
    copiesBytes += message.size();
    copies.push_back(message);
    return copies.size() == COPIES_BATCH;
}
}  // namespace

void enableMessageCopies(bool enabled) {
    copiesEnabled.store(enabled);
    if (!enabled) {
        std::deque<std::string> stale;
        MutexLock lock(tcpMutex);
        stale.swap(copies);
        copiesBytes = 0;
    }
}

void takeMessageCopies(std::deque<std::string>& taken, uint64_t& dropped) {
    MutexLock lock(tcpMutex);
    taken.swap(copies);
    copies.clear();
    copiesBytes = 0;
    dropped += copiesDropped;
    copiesDropped = 0;
}

int copyWakeFd() {
    return copyWake.pollFd();
}

void clearCopyWake() {
    copyWake.clearPollable();
}

int messageWakeFd() {
    return messageWake.pollFd();
}

void clearMessageWake() {
    messageWake.clearPollable();
}

void pushMessage(std::string message) {
    bool wasEmpty;
    bool wakeMonitor = false;
    std::string dropLine;
    {
        MutexLock lock(tcpMutex);
        if (copiesEnabled.load(std::memory_order_relaxed)) {
            wakeMonitor = copyMessage(message);
        }
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
    if (wakeMonitor) {
        copyWake.wake();
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
