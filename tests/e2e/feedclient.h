// A client of the daemon that reads in its own thread and keeps every message it gets; it can
// stop reading, and it can die without a word.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fault_e2e {

using namespace std::chrono_literals;

// A plain blocking socket connected to 127.0.0.1:port, or -1. receiveBuffer > 0 shrinks its
// receive buffer.
// `from`: the loopback address the connection comes from (127.0.0.2); empty: the system's
// choice.
int connectTo(uint16_t port, int receiveBuffer = 0, const std::string& from = "");

class FeedClient {
public:
    // Connects to 127.0.0.1:port, retrying for a few seconds while the daemon starts.
    // receiveBuffer > 0 shrinks the socket's receive buffer (a stalled client fills it fast).
    // `from` as for connectTo().
    explicit FeedClient(uint16_t port, int receiveBuffer = 0, const std::string& from = "");
    ~FeedClient();
    FeedClient(const FeedClient&) = delete;
    FeedClient& operator=(const FeedClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Writes all of text (blocking).
    void send(const std::string& text) const;
    // A paused client reads nothing: its receive buffer fills and the daemon's send stalls.
    void pauseReading(bool paused) { paused_.store(paused); }
    // The client's machine dies without a word: from now on the kernel drops every segment
    // from the daemon before TCP sees it (no ACK, no FIN, no RST ever goes back).
    bool dieSilently();
    // True once the daemon closed or reset the connection.
    bool ended() const { return ended_.load(); }
    // Bytes waiting in the socket's receive buffer, unread.
    int unread() const;

    // Complete messages received so far, each with its ";".
    std::size_t size() const;
    std::vector<std::string> messages(std::size_t from = 0) const;
    // Index of the first message equal to `message` at or after `from`, or npos.
    std::size_t find(const std::string& message, std::size_t from = 0) const;
    bool waitFor(const std::string& message, std::size_t from = 0,
                 std::chrono::milliseconds timeout = 5000ms) const;
    // How many messages at or after `from` start with `key` followed by ":".
    std::size_t count(const std::string& key, std::size_t from = 0) const;
    bool waitForCount(const std::string& key, std::size_t n,
                      std::chrono::milliseconds timeout = 5000ms) const;
    uint64_t bytes() const { return bytes_.load(); }

private:
    void run();
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> ended_{false};
    std::atomic<uint64_t> bytes_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;  // guarded by mutex_
    std::string partial_;                // reader thread only
    std::thread thread_;
};

}  // namespace fault_e2e
