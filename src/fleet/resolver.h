// A host name looked up without blocking the publisher, and without anything a stop must wait
// for: the lookup runs in a child process (the C library's getent, which asks the system's
// name services as getaddrinfo does) whose answer is read from a pipe on the publisher's tick.
// A lookup still out when the publisher stops or looks again is ended at once (SIGKILL) and
// reaped: a name server that never answers holds up nothing.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "service/filedescriptor.h"

class Resolver {
public:
    enum class State { IDLE, PENDING, DONE, FAILED };

    Resolver() = default;
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Starts looking `host` up (ending any lookup still out). A numeric address is DONE at
    // once; FAILED at once, with the reason, when the lookup cannot even be started.
    State start(const std::string& host);
    // PENDING until the answer came: then DONE with addresses(), or FAILED with error().
    // Never blocks.
    State poll();
    // Ends a lookup still out; its answer is never read.
    void abandon();

    // Numeric addresses ("192.0.2.7", "2001:db8::1"), in the order the system prefers them.
    const std::vector<std::string>& addresses() const { return addresses_; }
    const std::string& error() const { return error_; }

    // The program that looks names up, and the most of its output read.
    static constexpr const char* GETENT = "/usr/bin/getent";
    static constexpr std::size_t OUTPUT_LIMIT = 64 * 1024;

private:
    // Reads what the child wrote so far; false (FAILED) when it said too much.
    bool drain();
    // PENDING until the child is reaped, then the answer.
    State finish();

    State state_ = State::IDLE;
    std::string host_;
    pid_t child_ = -1;
    FileDescriptor output_;  // the child's standard output, non-blocking
    std::string text_;       // read from it so far
    std::vector<std::string> addresses_;
    std::string error_;
};
