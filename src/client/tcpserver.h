// The link to the control software: one TCP client at a time, ";"-framed text messages in
// both directions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "client/messageframer.h"
#include "service/descriptors.h"
#include "service/filedescriptor.h"
#include "service/sync.h"
#include "service/waker.h"

class Heartbeat;

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
    // Closes the listening socket: no client is taken any more. Server thread, after connect().
    void close();
    // The bound port (useful when constructed with port 0).
    uint16_t port() const { return port_; }
    // A client whose machine or cable died is dropped after about this long: an idle one by
    // TCP keepalive, one with data waiting for it when it has answered nothing for this long.
    // A client that is alive but does not read keeps its connection. Default 30 s; call
    // before connect().
    void setClientTimeout(std::chrono::seconds timeout) { clientTimeout_ = timeout; }
    // Called on the server thread with true when a client's connection begins (before any of
    // its text is parsed) and false when it ends, whatever ended it. Set before connect().
    void setClientHook(std::function<void(bool connected)> hook) { clientHook = std::move(hook); }
    // "address:port" of the client being served, empty while none is. Safe from any thread.
    std::string clientAddress() const;

private:
    enum class Flush { DRAINED, FULL, FAILED };

    // One client from the announcements to its close; the loop checks in on `heartbeat`.
    void serve(int client, Heartbeat& heartbeat);
    // Keepalive on the client's socket, timed so that an idle dead client goes in about the
    // client timeout.
    void keepAlive(int client) const;
    // True when data waits for the client and it has answered nothing for the client timeout.
    bool unanswered(int client) const;
    // One receive from the client, its complete messages parsed. False when the connection
    // has ended (closed or reset).
    bool receive(int client, char* block, std::size_t size);
    // Cuts received bytes into messages and parses each complete one.
    void take(const char* bytes, std::size_t count);
    // Sends queued client messages until the queue is empty (DRAINED), the client's socket is
    // full (FULL: the rest waits until the client reads) or the connection failed (FAILED).
    Flush flush(int client);
    // Sleeps up to `period`, returning early on stop(). False once stopped.
    bool pause(std::chrono::milliseconds period);
    void setClientAddress(std::string address);

    uint16_t port_;
    std::string bindAddress_;
    FileDescriptor listenFd;
    // The control client is taken even when the boards or observers used every descriptor.
    // Server thread only.
    SpareDescriptor spare_;
    Waker waker_{true};  // stop(); the loop polls its descriptor beside the sockets
    std::chrono::seconds clientTimeout_{30};
    std::function<void(bool)> clientHook;
    MessageFramer framer;  // server thread only
    // The message being sent and how much of it has gone: a client that stops reading leaves
    // it half sent until its socket has room again. Server thread only.
    std::string outgoing;
    std::size_t outgoingSent = 0;
    mutable Mutex clientAddressMutex_;  // a leaf
    std::string clientAddress_ GUARDED_BY(clientAddressMutex_);
};
