// The client outbox: messages bound for the control client, queued by the decoders and the
// watcher, sent by the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "service/sync.h"
#include "service/waker.h"

// Messages bound for the client, each complete with its ";". Read it directly (with tcpMutex
// held) if you like, but change it only through the functions below, which keep its byte
// count. tcpMutex is held only around queue operations; see the lock order in
// service/runstate.h.
extern Mutex tcpMutex;
extern std::deque<std::string> commands GUARDED_BY(tcpMutex);

// While no client takes them, `commands` holds at most this many messages and this many bytes;
// beyond either the oldest are dropped, counted and said on the console. A single message
// larger than the byte bound is still queued, alone.
constexpr std::size_t COMMANDS_LIMIT = 10000;
constexpr std::size_t COMMANDS_BYTES_LIMIT = 16u << 20;

// Queues one message for the client under tcpMutex, and raises the message wake-up when the
// queue was empty. Safe from any thread.
void pushMessage(std::string message);
// Moves the oldest message into `message`; false when the queue is empty. Safe from any
// thread.
bool takeMessage(std::string& message);
// Empties the queue and returns what it held. Safe from any thread.
std::deque<std::string> takeAllMessages();
// Discards every queued message (stale when a new client connects; not counted as dropped).
// Safe from any thread.
void clearMessages();
// The bytes of the queued messages. Safe from any thread.
std::size_t queuedMessageBytes();
// The message wake-up: an eventfd that turns readable when a message is queued on an empty
// `commands`; the server polls it beside the client socket and reads it empty before it
// takes the queue. -1 if it could not be created (the server then polls the queue).
int messageWakeFd();
// Reads the message wake-up empty. Server thread, before it takes the queue.
void clearMessageWake();

// Copies of the client messages for the other consumers (the monitor's observers, a
// publisher): each consumer owns one MessageCopies. While it is enabled, every message queued
// above is also handed to it, in the same order, into a queue of its own that it takes whole.
// Handed over under tcpMutex, so that the order is the client's; the message's bytes are copied
// once, outside the lock, into a buffer that every consumer shares and none changes. Each queue
// is bounded like `commands`; copies dropped at its bound are counted for its consumer.
using SharedMessage = std::shared_ptr<const std::string>;
constexpr std::size_t COPIES_BATCH = 256;

class MessageCopies {
public:
    // The wake-up is raised every `batch` copies, never per message: a consumer takes its
    // copies on a tick of its own, so that it does not run beside the client's path on every
    // message. Made disabled.
    explicit MessageCopies(std::size_t batch = COPIES_BATCH);
    // Disables.
    ~MessageCopies();
    MessageCopies(const MessageCopies&) = delete;
    MessageCopies& operator=(const MessageCopies&) = delete;

    // Starts or stops the copies; stopping discards those not taken. Safe from any thread.
    void enable(bool enabled);
    // Moves the queued copies into `taken` (what it held is discarded); adds to `dropped` the
    // copies lost at the bound since the last call. Safe from any thread.
    void take(std::deque<SharedMessage>& taken, uint64_t& dropped);
    // The wake-up, like messageWakeFd(); clearWake() reads it empty.
    int wakeFd() const { return wake_.pollFd(); }
    void clearWake() { wake_.clearPollable(); }

    // Hands one copy over; true when the consumer should be woken (wake()). pushMessage()
    // only.
    bool add(const SharedMessage& message) REQUIRES(tcpMutex);
    void wake() { wake_.wake(); }

private:
    const std::size_t batch_;
    Waker wake_{true};
    bool enabled_ GUARDED_BY(tcpMutex) = false;
    std::deque<SharedMessage> queue_ GUARDED_BY(tcpMutex);
    std::size_t bytes_ GUARDED_BY(tcpMutex) = 0;
    uint64_t dropped_ GUARDED_BY(tcpMutex) = 0;
};
