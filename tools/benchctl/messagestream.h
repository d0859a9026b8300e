// Cuts the daemon's text stream into messages at each ";". A message that grows past
// MAX_MESSAGE is dropped whole and counted; the stream resumes after its ";".
#pragma once

#include <cstddef>
#include <deque>
#include <string>

class MessageStream {
public:
    // Big enough for an oscillogram chart of 65535 points.
    static constexpr std::size_t MAX_MESSAGE = 1024 * 1024;

    void feed(const char* bytes, std::size_t count);
    // The next complete message without its ";", in arrival order; false when none.
    bool next(std::string& message);
    unsigned long dropped() const { return dropped_; }

    // Feeds the stream what the socket `fd` holds, without waiting, at most about `limit` bytes
    // a call so that a flood leaves the caller its other work. False when the connection ended:
    // `reason` is then empty for an orderly close, the error otherwise.
    bool feedFrom(int fd, std::size_t limit, std::string& reason);

private:
    std::string partial_;
    bool overlong_ = false;
    std::deque<std::string> complete_;
    unsigned long dropped_ = 0;
};
