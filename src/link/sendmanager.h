// The send side of a channel: the sender thread runs the version handshake, programs the
// board's report schedule once it is identified, and sends queued commands numbered by the
// frame counter, each tried up to three times until the board acknowledges its number.
//
// The queue: while the board keeps up, every queued command goes out once, in order. Once it
// falls behind (its oldest queued command has waited over LAG_LIMIT, the queued commands would
// take over BACKLOG_LIMIT at the pace of the last one, or the queue is full) and until the sender
// has emptied the queue, a new setting supersedes every queued setting of the same merge key,
// since it carries that key's whole state, and takes its place at the back. Actions are never
// merged: they neither supersede nor are superseded. A stop, the client's or the motor guard's,
// goes to the front whatever waits, replacing its key's queued settings. Beyond QUEUE_LIMIT the
// oldest command is dropped, counted and said.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "service/sync.h"
#include "service/waker.h"

class Channel;
class Command;

// Guards the sendQueue of every channel; held only around queue operations. A leaf: nothing
// is taken under it (see the lock order in service/runstate.h).
extern Mutex devMutex;

// What a queued command is to its board.
enum class CommandKind {
    // Resets and requests: sent as queued.
    ACTION,
    // Carries the whole state of its merge key: a newer one may supersede it while the board
    // lags.
    SETTING,
    // A setting that stops a machine: sent next, ahead of every queued command however many
    // wait, and replacing its key's queued settings (a start queued before it must not follow
    // it).
    STOP,
    // The daemon's own stop (the motor guard's): sent next like a client's stop, the commands
    // queued with it in their order, replacing its key's queued settings and stops; like an
    // action, nothing merges with it or replaces it.
    URGENT,
};

class SendManager {
public:
    using Clock = std::chrono::steady_clock;
    // A board lags once its oldest queued command has waited longer than LAG_LIMIT, or its
    // queue would take longer than BACKLOG_LIMIT: a burst of a few settings (a ramp) still goes
    // out step by step to a board that is slow to acknowledge.
    static constexpr std::chrono::milliseconds LAG_LIMIT{200};
    static constexpr std::chrono::milliseconds BACKLOG_LIMIT{1000};
    static constexpr std::size_t QUEUE_LIMIT = 1024;

    explicit SendManager(Channel* channel);
    ~SendManager();
    SendManager(const SendManager&) = delete;
    SendManager& operator=(const SendManager&) = delete;

    void start();
    // Clears the run flag and wakes the thread; does not wait. Safe from any thread.
    void stop();
    // Waits for the thread to end. Call after stop(), never from the thread itself.
    void join();
    bool isRunning() const { return waker_.running(); }

    // Sleeps up to `period`, returning at once when stopped. False once stopped.
    bool pause(std::chrono::milliseconds period);
    // Something for the sender to look at: a queued command, or the channel identified or
    // reset. Safe from any thread.
    void wake();
    // The channel's ACK number has changed: ends an ACK wait that it satisfies. Safe from any
    // thread; takes no lock but the sender's own wake-up lock.
    void ackChanged() { waker_.notify(); }

    // Builders numbered with the current frame counter.
    std::unique_ptr<Command> getVersion();
    std::unique_ptr<Command> addSchedule(unsigned char code, int period);
    std::unique_ptr<Command> clearSchedule();

    // Queues actions, in order, under one hold of devMutex.
    // Safe from any thread; never call with devMutex held.
    void enqueue(std::unique_ptr<Command> command);
    void enqueue(std::vector<std::unique_ptr<Command>> commands);
    // Queues a setting; settings of one merge key (for instance its message code, with the
    // channel for a command addressed to one of several) supersede each other while the board
    // lags. Safe from any thread; never call with devMutex held.
    void enqueueSetting(std::unique_ptr<Command> command, uint32_t mergeKey);
    // Queues a stop (see CommandKind::STOP). Safe from any thread; never call with devMutex
    // held.
    void enqueueStop(std::unique_ptr<Command> command, uint32_t mergeKey);
    // Queues the daemon's own stop, commands sent in their order (see CommandKind::URGENT).
    // Safe from any thread; never call with devMutex held.
    void enqueueUrgent(std::vector<std::unique_ptr<Command>> commands, uint32_t mergeKey);
    // The front queued command, or null; takes devMutex.
    std::unique_ptr<Command> popQueued();
    std::size_t queued() const;

    // Writes a command once with the current number and advances the counter. Sender thread.
    void writeOnce(std::unique_ptr<Command> command);
    // Numbers a queued command, writes it up to three times until acknowledged, advances the
    // counter. Each try waits at most 10 ms and ends as soon as the board's ACK for it is in.
    // Returns true when the board acknowledged it. Both count the frames that went out whole
    // in the channel's counters (commands sent, retries) and the commands left unacknowledged
    // (dropped); the channel counts a frame that did not go out whole. Sender thread.
    bool sendWithRetries(std::unique_ptr<Command> command);

    Channel* const channel;
    unsigned char frameCounter = 0;  // sender thread only

private:
    // The sender thread body.
    void run();

    struct Queued {
        std::unique_ptr<Command> command;
        Clock::time_point since;  // when it was queued
        CommandKind kind;
        uint32_t mergeKey;  // settings only
    };
    void push(std::vector<Queued> entries);
    // The queue shows that the board does not keep up. devMutex held.
    bool fallenBehindLocked(Clock::time_point now) const REQUIRES(devMutex);
    Clock::time_point now() const;

    Waker waker_;  // stop, wake(), ackChanged()
    std::deque<Queued> sendQueue GUARDED_BY(devMutex);
    // The sender's pace, for telling how long the queue will take: when it took the command it
    // is trying now (busy), and how long its last command took.
    bool busy GUARDED_BY(devMutex) = false;
    Clock::time_point busySince GUARDED_BY(devMutex);
    Clock::duration lastPace GUARDED_BY(devMutex){0};
    // Settings merge from when the board falls behind until the sender finds the queue empty:
    // a queue that the merging keeps short must not switch it off.
    bool lagging GUARDED_BY(devMutex) = false;
    std::thread sender;
};
