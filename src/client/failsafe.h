// The bench's safe state when the control client is gone: once the client's connection has
// ended and no client is back within the delay, every identified board gets the settings that
// stop it, through the same parser as a client's settings; once per loss. Until a client
// connects, the fail-safe stays in force: a board identified meanwhile (one that was away when
// it fired, or that came back) gets the safe state too. The daemon's stop sends it as well.
// With a delay of zero it only tracks whether a client is connected.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Channel;

class FailSafe {
public:
    // `delay` zero: off, and no thread is started.
    explicit FailSafe(std::chrono::seconds delay);
    ~FailSafe();
    FailSafe(const FailSafe&) = delete;
    FailSafe& operator=(const FailSafe&) = delete;

    // The server's client hook: a client's connection began (true) or ended (false). Server
    // thread.
    void clientChanged(bool connected);
    bool clientConnected() const { return connected_.load(); }
    // The daemon stops: unless off, sends the safe state now and waits up to `limit` for the
    // boards to acknowledge it. Server thread, after the server loop has ended.
    void stopping(std::chrono::milliseconds limit);

    // The safe state, as the client messages that set it.
    static const std::vector<std::string>& settings();

private:
    void run();
    // Parses the settings, for every identified board or `only` that one. mutex_ held: a
    // client's text is never parsed at the same time.
    void applyLocked(const Channel* only = nullptr);
    // In force: the boards identified since they were last set get the safe state, said in
    // one line. mutex_ held.
    void reachNewBoardsLocked();

    const std::chrono::seconds delay_;
    std::atomic<bool> connected_{false};
    std::mutex mutex_;  // also orders the parsing here against the server thread's
    std::condition_variable wake_;
    bool lost_ = false;                             // a loss not yet answered; guarded by mutex_
    std::chrono::steady_clock::time_point lostAt_;  // guarded by mutex_
    bool stop_ = false;                             // guarded by mutex_
    // Fired, and no client since; guarded by mutex_.
    bool inForce_ = false;
    // While in force: each channel (by serial) that got the safe state, with the identity it
    // had then; a new identification changes the identity. Guarded by mutex_.
    std::map<uint64_t, uint32_t> reached_;
    std::thread thread_;
};
