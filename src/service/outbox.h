// The client outbox: messages bound for the control client, queued by the decoders and the
// watcher, sent by the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "service/sync.h"

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

// The copies for the observers (client/monitorserver.h): while enabled, every message queued
// above is also copied, in the same order, into a queue of its own that the monitor takes
// whole. Copied under tcpMutex, so that the order is the client's. Bounded like `commands`;
// copies dropped at the bound are counted for the monitor to tell its observers. Safe from any
// thread.
void enableMessageCopies(bool enabled);
// The copy wake-up is raised every COPIES_BATCH copies, never per message: the monitor takes
// the copies on a tick of its own, so that it does not run beside the client's path on every
// message.
constexpr std::size_t COPIES_BATCH = 256;
// Empties the copy queue into `copies`; adds to `dropped` the copies lost at the bound since
// the last call. Safe from any thread.
void takeMessageCopies(std::deque<std::string>& copies, uint64_t& dropped);
// The copy wake-up, like messageWakeFd(); clearCopyWake() reads it empty.
int copyWakeFd();
void clearCopyWake();
