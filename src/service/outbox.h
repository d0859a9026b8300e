// The client outbox: messages bound for the control client, queued by the decoders and the
// watcher, sent by the server.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

// Messages bound for the client, each complete with its ";". Guarded by tcpMutex.
extern std::deque<std::string> commands;
extern std::mutex tcpMutex;

// The most messages `commands` holds; beyond it the oldest are dropped.
constexpr std::size_t COMMANDS_LIMIT = 10000;

// Queues one message for the client under tcpMutex, and raises the message wake-up when the
// queue was empty. Safe from any thread.
void pushMessage(std::string message);
// The message wake-up: an eventfd that turns readable when a message is queued on an empty
// `commands`; the server polls it beside the client socket and reads it empty before it
// takes the queue. -1 if it could not be created (the server then polls the queue).
int messageWakeFd();
