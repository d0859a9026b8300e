// One attached board: its port, what is known of the board, and its two managers with
// their three threads (reader, decoder, sender).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "filedescriptor.h"

class Command;
class ReceiveManager;
class SendManager;

struct ChannelOptions {
    // Tests build channels without threads and drive the managers themselves.
    bool startThreads = true;
    // The reader and the sender wait this long before their first pass.
    std::chrono::milliseconds startPause{1000};
};

class Channel {
public:
    // Takes ownership of the port's descriptor (which may be invalid: a port that failed to
    // open still gets a channel) and, unless told otherwise, starts the three threads.
    explicit Channel(FileDescriptor fd, ChannelOptions options = {});
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

    unsigned char getDevice() const { return device.load(); }
    // The device and the defined flag change on identification (decoder) and reset (watcher);
    // each change wakes the sender, which acts on them. Safe from any thread.
    void setDevice(unsigned char id);
    bool isDefined() const { return defined.load(); }
    void setDefined(bool value = true);
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
    std::mutex writeMutex;  // around the one write of a whole frame
    std::atomic<unsigned char> device{255};
    std::atomic<uint32_t> timeoutCounter{0};
    std::atomic<bool> configured{false};
    std::atomic<bool> defined{false};
    std::atomic<unsigned char> ackNumber{0};
    std::once_flag retired_;
};
