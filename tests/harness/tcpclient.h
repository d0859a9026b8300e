// TCP clients of a server on 127.0.0.1: a plain one read on demand, and one whose own thread
// reads every ";"-terminated message with the time it arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/filedescriptor.h"

namespace harness {

using namespace std::chrono_literals;

// Writes all of text to a connected socket; false when the peer is gone.
bool sendAll(int fd, const std::string& text);

// A blocking client, read when asked.
class TcpClient {
public:
    // Connects, retrying until the timeout (the server may still be starting); connected() is
    // false when no connection was made in time.
    explicit TcpClient(uint16_t port, std::chrono::milliseconds timeout = 5000ms);
    bool connected() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    // Writes all of text; stops quietly when the peer has gone.
    void send(const std::string& text) const;
    // Collects received text until it contains `text`; false if it did not come in time.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 5000ms);
    // Everything received so far (reads what is pending first).
    const std::string& received();
    void close() { fd_.reset(); }

private:
    void drain(std::chrono::milliseconds wait);
    FileDescriptor fd_;
    std::string received_;
};

// A client that stamps what it reads: a thread of its own reads every message (and counts
// every byte) with the time it was read, so that a latency is measured from the moment the
// bytes arrived, not from when someone looked.
class StampedClient {
public:
    using Clock = std::chrono::steady_clock;
    struct Message {
        std::string text;
        Clock::time_point at;
    };

    // Connects (tried every 20 ms until `timeout`) with TCP_NODELAY; throws std::runtime_error
    // when no connection was made.
    StampedClient(uint16_t port, std::chrono::milliseconds timeout);
    ~StampedClient();
    StampedClient(const StampedClient&) = delete;
    StampedClient& operator=(const StampedClient&) = delete;

    // Writes all of text and returns when it was handed over; throws when the peer is gone.
    Clock::time_point send(const std::string& text);
    std::size_t messageCount() const;
    std::size_t countStartingWith(const std::string& prefix) const;
    std::size_t byteCount() const;
    // The time the message `text` arrived, looking from index `from` on.
    bool waitForMessage(const std::string& text, std::size_t from, Clock::time_point deadline,
                        Clock::time_point& at) const;
    // The time the received byte count reached `count`.
    bool waitForBytes(std::size_t count, Clock::time_point deadline, Clock::time_point& at) const;

private:
    void run();

    FileDescriptor fd_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;  // guarded by mutex_
    std::size_t bytes_ = 0;          // guarded by mutex_
    Clock::time_point lastChunkAt_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace harness
