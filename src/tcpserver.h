// The link to the control software: one TCP client at a time, ";"-framed text messages in
// both directions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

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
    // Makes connect() return soon. Safe from any thread.
    void stop();
    // The bound port (useful when constructed with port 0).
    uint16_t port() const { return port_; }

private:
    uint16_t port_;
    std::string bindAddress_;
    int listenFd = -1;
    std::atomic<bool> running{true};
};
