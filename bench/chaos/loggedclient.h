// A text client of the daemon (the control client, or an observer) that logs every message it
// sends and receives, with its time and the number of its connection, and that can leave in
// the ways a real client does: closing, resetting, or dying silently (its machine gone: the
// daemon's data and probes go unanswered until the daemon finds it dead).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "runlog.h"

namespace chaos {

class LoggedClient {
public:
    // `tag` starts every line of this client in `log`.
    LoggedClient(RunLog& log, std::string tag, uint16_t port);
    ~LoggedClient();
    LoggedClient(const LoggedClient&) = delete;
    LoggedClient& operator=(const LoggedClient&) = delete;

    // A new connection (the next number); false when none could be made.
    bool connect();
    bool connected() const { return fd_ >= 0; }
    int connection() const { return connection_; }
    // Logs each ";"-terminated message, then writes them in one go; false when the peer is gone.
    bool send(const std::string& messages);
    void close();
    // Closes with a reset (SO_LINGER 0): whatever the client had not read is thrown away.
    void reset();
    // Drops everything the daemon sends from now on, acknowledgements included, and sends
    // nothing more; the socket stays open until the end of the run.
    void dieSilently();
    // Messages received over every connection.
    uint64_t received() const { return received_.load(); }

private:
    void startReader();
    void stopReader();
    void read(int fd, int connection);

    RunLog& log_;
    std::string tag_;
    uint16_t port_;
    int fd_ = -1;
    int connection_ = 0;
    std::atomic<bool> stopReading_{false};
    std::atomic<uint64_t> received_{0};
    std::thread reader_;
    std::vector<int> dead_;  // sockets of connections that died silently
};

}  // namespace chaos
