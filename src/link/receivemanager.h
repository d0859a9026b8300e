// The receive side of a channel: the reader thread, which reassembles frames, acknowledges
// every valid data frame and records the board's ACK numbers, and the queue of received
// data frames that the decoder thread consumes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>

#include "protocol/command.h"
#include "service/sync.h"
#include "service/waker.h"

class Channel;

class ReceiveManager {
public:
    explicit ReceiveManager(Channel* channel);
    ~ReceiveManager();
    ReceiveManager(const ReceiveManager&) = delete;
    ReceiveManager& operator=(const ReceiveManager&) = delete;

    // Starts the reader, then the decoder.
    void start();
    // Starts the reader alone (tests look at the queue themselves).
    void startReader();
    // Clears the run flag and wakes both threads (whatever they wait on); does not wait.
    // Safe from any thread.
    void stop();
    // Waits for both threads to end. Call after stop(), never from the threads themselves.
    void join();
    bool isRunning() const { return waker_.running(); }
    // The most frames the queue holds: a decoder that falls this far behind loses the oldest,
    // counted, rather than the daemon's memory growing without end.
    static constexpr std::size_t QUEUE_LIMIT = 4096;

    // Sleeps up to `period`, returning at once when stopped. False once stopped.
    bool pause(std::chrono::milliseconds period);
    // Waits until the port has something to read (or has failed), or the manager is stopped.
    // Stores the port's poll events (0 when the wait was interrupted) in `events` if given.
    // False once stopped. Reader thread.
    bool waitForInput(short* events = nullptr);

    // Queues one complete data frame for the decoder (dropping the oldest beyond QUEUE_LIMIT).
    // Reader thread.
    void push(std::unique_ptr<Command> command);
    // The oldest queued frame, or null when the queue is empty. Safe from any thread.
    std::unique_ptr<Command> tryTake();
    // Waits up to `wait` for a frame while the manager runs: null when none came in time, or
    // once it is stopped and the queue is empty. Decoder thread.
    std::unique_ptr<Command> take(std::chrono::milliseconds wait);
    std::size_t queued() const;

    // Feeds read bytes to the frame parser: ACKs and queues data frames, stores ACK numbers,
    // and counts frames, CRC failures and skipped bytes in the channel's counters. Reader
    // thread (tests call it directly).
    void handleBytes(const unsigned char* bytes, std::size_t count);

    // The decoder thread body: hands each queued frame to the board's dispatch until the
    // manager is stopped and the queue is empty (tests call it directly).
    void decode();

    Channel* const channel;

private:
    // The reader thread body: reads the port until the manager is stopped.
    void read();

    // What the parser finds in one read, handed on: frames ACKed, queued or noted, skipped
    // bytes counted, and both recorded while capturing.
    class Delivery : public FrameParser::Sink {
    public:
        explicit Delivery(ReceiveManager& manager);
        void noise(const unsigned char* bytes, std::size_t count) override;
        void frame(const Command& frame, bool good, const unsigned char* bytes,
                   std::size_t count) override;

    private:
        ReceiveManager& manager;
        const bool capturing;
        const std::int64_t readAt;  // the read's time, for its capture records
    };

    Waker waker_{true};        // stop; the reader polls its descriptor beside the port
    FrameParser parser;        // reader thread only
    mutable Mutex queueMutex;  // a leaf
    CondVar queueCv;           // a frame was queued, or stop
    std::deque<std::unique_ptr<Command>> receiveQueue GUARDED_BY(queueMutex);
    std::thread reader;
    std::thread decoder;
};
