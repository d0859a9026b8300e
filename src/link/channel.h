// One attached board: its port, what is known of the board, and its two managers with
// their three threads (reader, decoder, sender).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "service/filedescriptor.h"

class Command;
class ReceiveManager;
class SendManager;

struct ChannelOptions {
    // Tests build channels without threads and drive the managers themselves.
    bool startThreads = true;
    // The reader and the sender wait this long before their first pass.
    std::chrono::milliseconds startPause{1000};
};

// What a channel has seen and done since its port was opened, for the console (SIGUSR1 and
// retirement). Each is counted by the thread that does the thing; any thread may read them.
struct ChannelCounters {
    std::atomic<uint64_t> framesReceived{0};  // whole data frames, each acknowledged
    std::atomic<uint64_t> crcFailures{0};     // frames (data or ACK) whose CRC did not match
    std::atomic<uint64_t> garbageBytes{0};    // bytes skipped while hunting for a frame start
    std::atomic<uint64_t> acksSent{0};        // ACK frames written whole
    std::atomic<uint64_t> commandsSent{0};    // numbered frames the sender wrote (first try)
    std::atomic<uint64_t> retries{0};         // further tries of queued commands
    std::atomic<uint64_t> dropped{0};         // queued commands left unacknowledged
    std::atomic<uint64_t> timeouts{0};        // "Connection timeout"s of the board
};

class Channel {
public:
    // Takes ownership of the port's descriptor (which may be invalid: a port that failed to
    // open still gets a channel) and, unless told otherwise, starts the three threads. `name`
    // is the device name (ttyUSB0) that its console lines carry.
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

    // One write of the 5-byte ACK frame under writeMutex. Safe from any thread.
    void sendACK(unsigned char number);
    // One write of the encoded frame (createCommand() done) under writeMutex. Returns what
    // write returned. Safe from any thread.
    long sendCommand(const Command& command);

    int fd() const { return fd_.get(); }
    const ChannelOptions& options() const { return options_; }
    const std::string& name() const { return name_; }

    ChannelCounters& counters() { return counters_; }
    const ChannelCounters& counters() const { return counters_; }
    // "Counters [ttyUSB0]: frames 120, crc failures 0, ..." without a line end. Safe from any
    // thread.
    std::string countersLine() const;

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
    unsigned char getAckNumber() const { return ackNumber.load(); }
    // Stores the number of the board's latest ACK and ends the sender's wait for it. Safe from
    // any thread.
    void setAckNumber(unsigned char number);
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
    std::mutex writeMutex;  // around the one write of a whole frame
    static constexpr Identity DEFINED_BIT = 0x100;
    static constexpr Identity GENERATION_STEP = 0x200;  // the bits above count identifications
    std::atomic<Identity> identity_{255};
    std::atomic<uint32_t> timeoutCounter{0};
    std::atomic<bool> configured{false};
    std::atomic<unsigned char> ackNumber{0};
    std::once_flag retired_;
};
