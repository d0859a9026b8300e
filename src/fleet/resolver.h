// A host name looked up without blocking: glibc's getaddrinfo_a does the asking on a thread of
// its own, and the publisher looks at the answer on its tick. A lookup that has not come back
// when the publisher stops is abandoned, not waited for: a name server that never answers must
// not hold up a stop.
#pragma once

#include <string>
#include <vector>

struct Lookup;

class Resolver {
public:
    enum class State { IDLE, PENDING, DONE, FAILED };

    Resolver() = default;
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Starts looking `host` up (abandoning any lookup still pending). FAILED at once, with
    // the reason, when the lookup cannot even be started.
    State start(const std::string& host);
    // PENDING until the answer came: then DONE with addresses(), or FAILED with error().
    // Never blocks.
    State poll();
    // Forgets a pending lookup; its answer, whenever it comes, is thrown away.
    void abandon();

    // Numeric addresses ("192.0.2.7", "2001:db8::1"), in the order the system prefers them.
    const std::vector<std::string>& addresses() const { return addresses_; }
    const std::string& error() const { return error_; }

private:
    Lookup* lookup_ = nullptr;  // shared with glibc's lookup thread while pending
    State state_ = State::IDLE;
    std::vector<std::string> addresses_;
    std::string error_;
};
