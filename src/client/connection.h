// One TCP peer of the control server or the monitor: its socket, its text cut into messages
// (MessageFramer's 4,096-byte rule), the messages waiting for it and sent as far as its socket
// takes them, and the checks that find a peer whose machine or cable died (client/liveness).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "client/messageframer.h"
#include "service/filedescriptor.h"
#include "service/outbox.h"

class Connection {
public:
    enum class Received { OPEN, CLOSED, FAILED };
    enum class Flush { DRAINED, FULL, FAILED };

    explicit Connection(FileDescriptor fd) : fd_(std::move(fd)) {}
    int fd() const { return fd_.get(); }

    // Each message goes out at once instead of waiting for the peer's ACK of the last one.
    void noDelay();
    // See client/liveness.h.
    void keepAlive(std::chrono::seconds timeout);
    bool unanswered(std::chrono::seconds timeout) const;

    // One receive without waiting; each message it completes goes to onMessage, and each
    // message dropped for its length to onOversized, at the byte that made it too long. CLOSED
    // when the peer closed; FAILED (error()) when the connection broke; OPEN otherwise, with
    // or without data.
    Received receive(const std::function<void(const std::string&)>& onMessage,
                     const std::function<void()>& onOversized = nullptr);
    // What receive() does with the bytes it read, for bytes from elsewhere (the fuzzer).
    void feed(const char* bytes, std::size_t count,
              const std::function<void(const std::string&)>& onMessage,
              const std::function<void()>& onOversized = nullptr) {
        framer_.feed(bytes, count, onMessage, onOversized);
    }

    // The bytes waiting to be sent.
    std::size_t pending() const { return queued_ - sent_; }
    // Queues one message whatever its size: a bound is the owner's to keep.
    void push(SharedMessage message);
    // The bytes waiting to be sent, as one text.
    std::string waiting() const;
    // Sends what is queued, many messages a call, until it is all gone (DRAINED), the socket
    // is full (FULL: the rest waits until the peer reads) or the connection broke (FAILED,
    // error(), and from then on).
    Flush flush();
    // The errno of the last failure.
    int error() const { return error_; }

private:
    FileDescriptor fd_;
    MessageFramer framer_;
    // Messages not yet sent whole, maybe shared with other peers; `sent_` bytes of the first
    // have gone.
    std::deque<SharedMessage> queue_;
    std::size_t queued_ = 0;  // the bytes of queue_
    std::size_t sent_ = 0;
    bool broken_ = false;
    int error_ = 0;
};
