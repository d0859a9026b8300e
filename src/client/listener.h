// The listening side of a TCP port, shared by the control server and the monitor: the socket,
// the accept, and the address filter that closes a refused peer at once, says it and counts it.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "client/addressfilter.h"
#include "service/filedescriptor.h"

class SpareDescriptor;

class Listener {
public:
    // How a port's lines read: `refusedKey` and "<refusedPrefix><peer>: not allowed" for a
    // refused peer, `acceptKey` and "<acceptPrefix><reason>" for a failed accept.
    struct Lines {
        std::string refusedKey;
        std::string refusedPrefix;
        std::string acceptKey;
        std::string acceptPrefix;
    };
    enum class Step { CREATE, ADDRESS, BIND, LISTEN };
    enum class Taken { CONNECTION, REFUSED, NONE, FAILED };

    explicit Listener(Lines lines) : lines_(std::move(lines)) {}

    // Binds `address` (empty: all local addresses) and listens. On failure, false with the
    // step that failed and why (failure()); nothing is said.
    bool open(const std::string& address, uint16_t port, int backlog);
    Step failedStep() const { return failedStep_; }
    const std::string& failure() const { return failure_; }
    // The bound port.
    uint16_t port() const { return port_; }
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    void close() { fd_.reset(); }

    // Only peers the filter allows are taken. Set before the first accept.
    void setAllowed(AddressFilter allowed) { allowed_ = std::move(allowed); }
    const AddressFilter& allowed() const { return allowed_; }
    // Connections refused since the start. Safe from any thread.
    uint64_t refused() const { return refused_.load(); }

    // Takes one waiting connection into `connection` (CONNECTION). A refused one is closed
    // before a byte is read, said and counted (REFUSED); NONE when nothing waits. A failed
    // accept is said (once, then once a minute) and rests the listener for a moment (FAILED).
    // With `spare`, the spare descriptor stands in when the process has none left.
    Taken accept(FileDescriptor& connection, int flags, SpareDescriptor* spare = nullptr);
    // False for a moment after a failed accept: polled meanwhile, the still readable listener
    // would keep a loop spinning.
    bool resting(std::chrono::steady_clock::time_point now) const { return now < resumes_; }
    std::chrono::steady_clock::time_point resumes() const { return resumes_; }

    static constexpr std::chrono::milliseconds RETRY_PAUSE{100};

private:
    const Lines lines_;
    FileDescriptor fd_;
    uint16_t port_ = 0;
    Step failedStep_ = Step::CREATE;
    std::string failure_;
    AddressFilter allowed_;
    std::atomic<uint64_t> refused_{0};
    std::chrono::steady_clock::time_point resumes_{};  // the accepting thread only
};
