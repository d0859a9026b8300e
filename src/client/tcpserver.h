// The link to the control software: one TCP client at a time, ";"-framed text messages in
// both directions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include <sys/socket.h>

#include "client/addressfilter.h"
#include "client/connection.h"
#include "client/listener.h"
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
    // Closes the listening socket and the connections waiting for their turn: no client is
    // taken any more. Server thread, after connect().
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
    // Only peers the filter allows are served; a connection from elsewhere is closed at once
    // without a byte read, even while a client is served, said and counted. Set before
    // connect(); by default everyone is allowed.
    void setAllowed(AddressFilter allowed) { listener_.setAllowed(std::move(allowed)); }
    // Connections refused by the filter since the start. Safe from any thread.
    uint64_t refused() const { return listener_.refused(); }

private:
    // One client from the announcements to its close; the loop checks in on `heartbeat`.
    void serve(Connection& client, Heartbeat& heartbeat);
    // One receive from the client, its complete messages parsed. False when the connection
    // has ended (closed or reset).
    bool receive(Connection& client);
    // Sends queued client messages until the queue is empty (DRAINED), the client's socket is
    // full (FULL: the rest waits until the client reads) or the connection failed (FAILED).
    Connection::Flush flush(Connection& client);
    // Sleeps up to `period`, returning early on stop(). False once stopped.
    bool pause(std::chrono::milliseconds period);
    void setClientAddress(std::string address);
    // While a client is served: takes the connections waiting on the listening socket, closes
    // the refused ones and keeps the allowed ones, in order, for their turn.
    void takeWaiting();

    uint16_t port_;
    std::string bindAddress_;
    Listener listener_;
    // The control client is taken even when the boards or observers used every descriptor.
    // Server thread only.
    SpareDescriptor spare_;
    Waker waker_{true};  // stop(); the loop polls its descriptor beside the sockets
    std::chrono::seconds clientTimeout_{30};
    std::function<void(bool)> clientHook;
    // Allowed connections taken while a client was served, oldest first. Server thread only.
    std::deque<FileDescriptor> waiting_;
    mutable Mutex clientAddressMutex_;  // a leaf
    std::string clientAddress_ GUARDED_BY(clientAddressMutex_);
};
