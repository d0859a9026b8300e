// One attached board: its port, what is known of the board, and its two managers with
// their three threads (reader, decoder, sender).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service/filedescriptor.h"

struct BoardBehaviour;
class Command;
class ReceiveManager;
class SendManager;

struct ChannelOptions {
    // Tests build channels without threads and drive the managers themselves.
    bool startThreads = true;
    // The reader and the sender wait this long before their first pass.
    std::chrono::milliseconds startPause{1000};
    // The send queue's clock (how long queued commands have waited); tests step it by hand.
    std::chrono::steady_clock::time_point (*clock)() = std::chrono::steady_clock::now;
    // How long the sender waits for a command's ACK before it tries again.
    std::chrono::milliseconds ackWait{10};
    // Tests: runs after the receive side has started and before the sender starts; a throw
    // here stands for a sender thread that could not be started.
    void (*beforeSenderStart)() = nullptr;
    // What the board's frames mean and how it is programmed; outlives the channel. Without
    // one (tests of the link alone) received data frames are acknowledged and dropped, and an
    // identified board gets no schedule.
    const BoardBehaviour* board = nullptr;
};

// What a channel has seen and done since its port was opened, for the console (SIGUSR1 and
// retirement). Each is counted by the thread that does the thing; any thread may read them.
struct ChannelCounters {
    std::atomic<uint64_t> framesReceived{0};  // whole data frames, each acknowledged
    std::atomic<uint64_t> crcFailures{0};     // frames (data or ACK) whose CRC did not match
    std::atomic<uint64_t> garbageBytes{0};    // bytes skipped while hunting for a frame start
    std::atomic<uint64_t> acksSent{0};        // ACK frames written whole
    std::atomic<uint64_t> commandsSent{0};    // numbered frames the sender wrote whole (first try)
    std::atomic<uint64_t> retries{0};         // further whole writes of queued commands
    std::atomic<uint64_t> dropped{0};         // queued commands left unacknowledged
    std::atomic<uint64_t> timeouts{0};        // "Connection timeout"s of the board
    std::atomic<uint64_t> overflow{0};        // queued commands dropped by a full send queue
    std::atomic<uint64_t> superseded{0};      // queued settings replaced by a newer one
    std::atomic<uint64_t> writeFailures{0};   // frames (data or ACK) that did not go out whole
    std::atomic<uint64_t> framesDropped{0};   // received frames a full decoder queue dropped
};

class Channel {
public:
    // Takes ownership of the port's descriptor (invalid only for tests that drive a channel
    // without a port) and, unless told otherwise, starts the three threads. `name` is the
    // device name (ttyUSB0) that its console lines carry.
    explicit Channel(FileDescriptor fd, ChannelOptions options = {}, std::string name = "");
    // Retires the channel.
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Ask the threads to end and wake them; do not wait. Safe from any thread.
    void stopReceiveManager();
    void stopSendManager();
    // Stops the threads, joins them, then closes the descriptor: once it returns nothing of
    // this channel touches the descriptor number again. Idempotent; never call it from one of
    // the channel's own threads.
    void retire();

    // Writes the 5-byte ACK frame whole under writeMutex (see writeFrame). Safe from any
    // thread.
    void sendACK(unsigned char number);
    // Writes the encoded frame (createCommand() done) whole under writeMutex (see writeFrame).
    // Returns the bytes written: the frame's size when it went out whole. Safe from any thread.
    long sendCommand(const Command& command);

    int fd() const { return fd_.get(); }
    const ChannelOptions& options() const { return options_; }
    const std::string& name() const { return name_; }
    // Tells this channel apart from an earlier or later one of the same name.
    uint64_t serial() const { return serial_; }

    ChannelCounters& counters() { return counters_; }
    const ChannelCounters& counters() const { return counters_; }
    // "Counters [ttyUSB0]: frames 120, crc failures 0, ..." without a line end. Safe from any
    // thread.
    std::string countersLine() const;
    // The figures of the counters line, named as it names them, in its order. Safe from any
    // thread.
    std::vector<std::pair<const char*, uint64_t>> counterFigures() const;

    // Whether the port took the serial driver's low-latency setting (pseudo-terminals do
    // not). Set by the watcher once the port is configured. Safe from any thread.
    bool lowLatency() const { return lowLatency_.load(); }
    void setLowLatency(bool on) { lowLatency_.store(on); }

    // The port failed for good (a hard read error or a lasting hang-up): the watcher retires
    // the channel on its next pass and opens the name anew. Safe from any thread.
    void markFailed() { failed.store(true); }
    bool hasFailed() const { return failed.load(); }

    // The board's identity is one word: the device id, the defined flag and a count of
    // identifications, so that an identification and a reset never interleave into a defined
    // board without a device. Every change wakes the sender, which acts on it. Safe from any
    // thread.
    using Identity = uint32_t;
    Identity identity() const { return identity_.load(); }
    static unsigned char deviceOf(Identity identity) { return identity & 0xFF; }
    static bool definedIn(Identity identity) { return (identity & DEFINED_BIT) != 0; }
    unsigned char getDevice() const { return deviceOf(identity()); }
    bool isDefined() const { return definedIn(identity()); }
    // Each changes its half alone (tests set up boards with them).
    void setDevice(unsigned char id);
    void setDefined(bool value = true);
    // The decoder: defines the board as `id` unless it is defined already; true if it did.
    bool identify(unsigned char id);
    // The watcher: back to not identified (device 255), but only if the identity is still the
    // one it saw; false when an identification came in between.
    bool resetIdentity(Identity seen);
    bool isConfigured() const { return configured.load(); }
    void setConfigured(bool value = true) { configured.store(value); }
    static constexpr int NO_ACK = -1;
    // The number of the board's latest ACK since the sender last cleared it, or NO_ACK.
    int getAckNumber() const { return ackNumber.load(); }
    // Stores the number of the board's latest ACK and ends the sender's wait for it. Safe from
    // any thread.
    void setAckNumber(unsigned char number);
    // Forgets the latest ACK: the sender calls it before a command goes out, so that only an
    // ACK that arrives for that command counts. Safe from any thread.
    void clearAckNumber() { ackNumber.store(NO_ACK); }
    uint32_t getTimeoutCounter() const { return timeoutCounter.load(); }
    void resetTimeoutCounter() { timeoutCounter.store(0); }
    // Adds one silent second and returns the new count.
    uint32_t incrementTimeoutCounter() { return timeoutCounter.fetch_add(1) + 1; }

    // Both created by the constructor and alive until the channel is destroyed.
    std::unique_ptr<ReceiveManager> receiveManager;
    std::unique_ptr<SendManager> sendManager;

private:
    FileDescriptor fd_;
    ChannelOptions options_;
    const std::string name_;
    // Tells this channel's throttled console lines apart from another's of the same name.
    const uint64_t serial_;
    ChannelCounters counters_;
    std::atomic<bool> failed{false};
    std::atomic<bool> lowLatency_{false};
    std::mutex writeMutex;  // around the writing of one whole frame
    static constexpr Identity DEFINED_BIT = 0x100;
    static constexpr Identity GENERATION_STEP = 0x200;  // the bits above count identifications
    std::atomic<Identity> identity_{255};
    std::atomic<uint32_t> timeoutCounter{0};
    std::atomic<bool> configured{false};
    std::atomic<int> ackNumber{NO_ACK};
    std::once_flag retired_;

    // One frame onto the line under writeMutex. A non-blocking port whose output buffer is
    // full takes part of a frame, or none: the rest is written as room appears, for a short
    // bounded time. Counts a frame that did not go out whole in writeFailures. Returns the
    // bytes written, or -1 when none were.
    long writeFrame(const unsigned char* bytes, std::size_t size);
};
