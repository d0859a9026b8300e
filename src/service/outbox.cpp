#include "service/outbox.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

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

// The enabled consumers of copies, and how many there are (read without the lock to skip the
// copy when there is none).
std::vector<MessageCopies*> consumers GUARDED_BY(tcpMutex);
std::atomic<std::size_t> consumerCount{0};
}  // namespace

MessageCopies::MessageCopies(std::size_t batch) : batch_(batch) {}

MessageCopies::~MessageCopies() {
    enable(false);
}

void MessageCopies::enable(bool enabled) {
    std::deque<SharedMessage> stale;  // freed outside the lock
    MutexLock lock(tcpMutex);
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    if (enabled) {
        consumers.push_back(this);
    } else {
        consumers.erase(std::find(consumers.begin(), consumers.end(), this));
        stale.swap(queue_);
        bytes_ = 0;
        dropped_ = 0;
    }
    consumerCount.store(consumers.size());
}

bool MessageCopies::add(const SharedMessage& message) {
    while (!queue_.empty() &&
           (queue_.size() >= COMMANDS_LIMIT || bytes_ + message->size() > COMMANDS_BYTES_LIMIT)) {
        bytes_ -= queue_.front()->size();
        queue_.pop_front();
        ++dropped_;
    }
    bytes_ += message->size();
    queue_.push_back(message);
    return queue_.size() == batch_;
}

void MessageCopies::take(std::deque<SharedMessage>& taken, uint64_t& dropped) {
    taken.clear();
    MutexLock lock(tcpMutex);
    taken.swap(queue_);
    bytes_ = 0;
    dropped += dropped_;
    dropped_ = 0;
}

int messageWakeFd() {
    return messageWake.pollFd();
}

void clearMessageWake() {
    messageWake.clearPollable();
}

void pushMessage(std::string message) {
    bool wasEmpty;
    std::string dropLine;
    // The copies' bytes are made before the lock, once for every consumer.
    SharedMessage copy;
    if (consumerCount.load(std::memory_order_relaxed) > 0) {
        copy = std::make_shared<const std::string>(message);
    }
    {
        MutexLock lock(tcpMutex);
        if (!consumers.empty() && !copy) {
            // A consumer enabled a moment ago.
            copy = std::make_shared<const std::string>(message);
        }
        for (MessageCopies* consumer : consumers) {
            // Woken under the lock (a Waker's lock is a leaf), while the consumer surely
            // exists: it is disabled under tcpMutex before it ends. Once a batch, not a message.
            if (consumer->add(copy)) {
                consumer->wake();
            }
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
