// The connection to benchd's monitor port that top and web keep: tried again with the
// monitor's backoff while down, the status asked for once a second while up, the messages read
// as they come. The caller waits on fd() beside its own work and tells its model what happened.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "backoff.h"
#include "clientconnection.h"
#include "messagestream.h"

class MonitorLink {
public:
    using Clock = std::chrono::steady_clock;
    enum class Attempt { NONE, CONNECTED, FAILED };

    MonitorLink(std::string host, uint16_t port);

    // A connection try when the link is down and its time has come. FAILED gives `reason`, and
    // the next try waits for the backoff.
    Attempt tryConnect(Clock::time_point now, std::string& reason);
    // True once a second while the link is up, first at once after it came up.
    bool statusDue(Clock::time_point now);
    bool send(const std::string& text) { return connection_.sendAll(text); }
    // Closes the link; the next try waits for the backoff.
    void lose();
    // Takes what the daemon sent, at most about 4 MiB a call. False when the connection ended:
    // `reason` is then empty for an orderly close. Messages that came before stay for next().
    bool read(std::string& reason);
    // The next whole message; one that is not a notice shows the link good (the backoff resets).
    bool next(std::string& message);

    bool up() const { return up_; }
    int fd() const { return connection_.fd(); }
    // When tryConnect or statusDue next has work.
    Clock::time_point nextWork() const { return up_ ? nextStatus_ : nextAttempt_; }

private:
    std::string host_;
    uint16_t port_;
    ClientConnection connection_;
    MessageStream stream_;
    Backoff backoff_;
    bool up_ = false;
    Clock::time_point nextAttempt_ = Clock::now();
    Clock::time_point nextStatus_ = Clock::now();
};
