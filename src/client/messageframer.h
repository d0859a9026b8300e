// Cuts the client's byte stream into messages at each ";". Every other byte belongs to the
// message, as received. A message longer than MESSAGE_LIMIT is dropped whole, with one
// console line (throttled: a stream of them prints once, then a count a minute), and framing
// resumes after its ";".
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class MessageFramer {
public:
    static constexpr std::size_t MESSAGE_LIMIT = 4096;

    // Calls onMessage with each message that the bytes complete, in order, and onOversized
    // (when given) at the byte that makes a message too long, in order with them.
    void feed(const char* bytes, std::size_t count,
              const std::function<void(const std::string&)>& onMessage,
              const std::function<void()>& onOversized = nullptr);
    // Forgets the message in progress (a new connection).
    void clear();

private:
    std::string message;
    bool overflowed = false;  // the message in progress is being dropped
};
