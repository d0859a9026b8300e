// The send side of a channel: the sender thread runs the version handshake, programs the
// board's report schedule once it is identified, and sends queued commands numbered by the
// frame counter, each tried up to three times until the board acknowledges its number.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class Channel;
class Command;

// Guards the sendQueue of every channel; held only around queue operations.
extern std::mutex devMutex;

// The report schedule programmed for a device type: (report code, period in ms), in order.
const std::vector<std::pair<unsigned char, int>>& scheduleFor(int device);

class SendManager {
public:
    explicit SendManager(Channel* channel);
    ~SendManager();
    SendManager(const SendManager&) = delete;
    SendManager& operator=(const SendManager&) = delete;

    void start();
    // Clears the run flag and wakes the thread; does not wait. Safe from any thread.
    void stop();
    // Waits for the thread to end. Call after stop(), never from the thread itself.
    void join();
    bool isRunning() const { return running.load(); }

    // Sleeps up to `period`, returning at once when stopped. False once stopped.
    bool pause(std::chrono::milliseconds period);
    // Something for the sender to look at: a queued command, or the channel identified or
    // reset. Safe from any thread.
    void wake();
    // The channel's ACK number has changed: ends an ACK wait that it satisfies. Safe from any
    // thread; takes no lock but the sender's own wake-up lock.
    void ackChanged();

    // Builders numbered with the current frame counter.
    std::unique_ptr<Command> getVersion();
    std::unique_ptr<Command> addSchedule(unsigned char code, int period);
    std::unique_ptr<Command> clearSchedule();

    // Queues commands, in order, under one hold of devMutex.
    // Safe from any thread; never call with devMutex held.
    void enqueue(std::unique_ptr<Command> command);
    void enqueue(std::vector<std::unique_ptr<Command>> commands);
    // The front queued command, or null; takes devMutex.
    std::unique_ptr<Command> popQueued();
    std::size_t queued() const;

    // Writes a command once with the current number and advances the counter. Sender thread.
    void writeOnce(std::unique_ptr<Command> command);
    // Numbers a queued command, writes it up to three times until acknowledged, advances the
    // counter. Each try waits at most 10 ms and ends as soon as the board's ACK for it is in.
    // Returns true when the board acknowledged it. Both count what they write in the channel's
    // counters (commands sent, retries, dropped). Sender thread.
    bool sendWithRetries(std::unique_ptr<Command> command);

    Channel* const channel;
    unsigned char frameCounter = 0;  // sender thread only

private:
    friend void thread_send(SendManager* manager);
    // Waits up to `period` until `ready` holds, or the manager is stopped. False once stopped.
    template <typename Ready>
    bool waitFor(std::chrono::milliseconds period, Ready ready);
    // Waits until woken (or stopped); `period` zero means without a time limit. Clears the
    // wake-up. False once stopped.
    bool idle(std::chrono::milliseconds period);

    std::atomic<bool> running{true};
    std::deque<std::unique_ptr<Command>> sendQueue;  // guarded by devMutex
    std::mutex wakeMutex;
    std::condition_variable wakeCv;  // stop, wake(), ackChanged()
    bool wakePending = false;        // guarded by wakeMutex
    std::thread sender;
};

// The sender thread body.
void thread_send(SendManager* manager);
