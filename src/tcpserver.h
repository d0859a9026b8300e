// The link to the control software: one TCP client at a time, ";"-framed text messages in
// both directions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "filedescriptor.h"
#include "messageframer.h"

class TcpServer {
public:
    // bindAddress empty: all local addresses.
    explicit TcpServer(uint16_t port = 2015, std::string bindAddress = "");
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Creates the listening socket. On failure prints "Cant bind socket" (or "Error listen")
    // with the reason on standard error and returns false.
    bool listen();
    // Serves clients one after another until stop(). Call after listen() succeeded.
    void connect();
    // Makes connect() return soon (a blocking send to a client that reads nothing excepted).
    // Safe from any thread.
    void stop();
    // The bound port (useful when constructed with port 0).
    uint16_t port() const { return port_; }

private:
    // One client from the announcements to its close.
    void serve(int client);
    // Cuts received bytes into messages and parses each complete one.
    void take(const char* bytes, std::size_t count);
    // Sends and removes every queued client message.
    void flush(int client);
    // Sleeps up to `period`, returning early on stop(). False once stopped.
    bool pause(std::chrono::milliseconds period);

    uint16_t port_;
    std::string bindAddress_;
    FileDescriptor listenFd;
    FileDescriptor wakeFd;  // eventfd, readable once stop() was called
    std::atomic<bool> running{true};
    MessageFramer framer;  // server thread only
};
