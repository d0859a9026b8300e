// benchctl's TCP connection to the daemon, on its control or monitor port. The daemon may
// still be starting (and the control port serves one client at a time), so connecting
// retries until a deadline; a zero timeout tries once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "service/filedescriptor.h"

class ClientConnection {
public:
    // Connects to host:port (name or address), retrying until `timeout` has passed.
    bool connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
                 std::string& error);
    int fd() const { return fd_.get(); }
    // Writes all of text; false when the connection is broken.
    bool sendAll(const std::string& text);
    // One read: the byte count, 0 when the daemon closed, -1 on an error.
    ssize_t receive(char* buffer, std::size_t size);
    // Tells the daemon that nothing more will come, and waits up to `timeout` for it to
    // close, discarding what it still sends; so that it has read everything before we go.
    void finish(std::chrono::milliseconds timeout);
    void close() { fd_.reset(); }

private:
    FileDescriptor fd_;
};
