// Free ports and connections on the loopback interface.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "service/filedescriptor.h"

namespace harness {

using namespace std::chrono_literals;

// A TCP port on 127.0.0.1 that nothing had bound when it was looked at. Nothing holds it
// afterwards: another process, or an outgoing connection given it as its local port, may take
// it before it is used. Throws std::system_error when no socket can be bound.
uint16_t freePort();

// 127.0.0.1:port.
sockaddr_in loopback(uint16_t port);

struct ConnectOptions {
    // > 0: the socket's receive buffer, shrunk before connecting (a stalled reader fills it fast).
    int receiveBuffer = 0;
    // The loopback address the connection comes from ("127.0.0.2"); empty: the system's choice.
    std::string from;
};

// One try at a blocking TCP connection to 127.0.0.1:port; invalid when refused.
FileDescriptor connectOnce(uint16_t port, const ConnectOptions& options = {});

// A connection to 127.0.0.1:port, tried every `period` until `timeout` has passed (the server
// may still be starting); invalid when none was made.
FileDescriptor connectLoopback(uint16_t port, std::chrono::milliseconds timeout = 5000ms,
                               std::chrono::milliseconds period = 2ms,
                               const ConnectOptions& options = {});

// Whether something accepts connections on 127.0.0.1:port now.
bool accepts(uint16_t port);

}  // namespace harness
