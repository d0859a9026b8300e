// A board driven by hand on a raw pseudo-terminal: it records the daemon's frames to the byte
// and makes the faults that benchsim's boards do not (half frames, floods of noise, a line
// that hangs up, no acknowledgements, silence).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace fault_e2e {

using namespace std::chrono_literals;
using testing_support::Bytes;

// One data frame the host wrote, whole, and when the board read it.
struct HostFrame {
    Bytes bytes;
    std::chrono::steady_clock::time_point at;
    unsigned char number() const { return bytes[3]; }
    unsigned char code() const { return bytes[4]; }
    unsigned char access() const { return bytes[5]; }
    bool isVersionRequest() const;
};

// The frames with each retry left out: a command not acknowledged within its wait goes out
// again as the same frame, which a busy machine makes happen at any time.
std::vector<HostFrame> withoutRetries(const std::vector<HostFrame>& frames);

// It acknowledges the host's data frames, answers every version request with its device id,
// and once asked sends its version report every second to stay alive. Everything else it
// sends is up to the test: whole frames, half frames, noise.
class RawBoard {
public:
    explicit RawBoard(unsigned char device);
    ~RawBoard();
    RawBoard(const RawBoard&) = delete;
    RawBoard& operator=(const RawBoard&) = delete;

    const std::string& slavePath() const { return pty_.slavePath(); }
    // Puts bytes on the line as they are. False if the line would not take them in time.
    bool write(const Bytes& bytes, std::chrono::milliseconds timeout = 3000ms);
    // The board's next numbered data frame (not written).
    Bytes frame(unsigned char code, const Bytes& payload);
    // The host's data frames so far, and the numbers of the host's ACKs.
    std::vector<HostFrame> hostFrames() const;
    std::vector<unsigned char> hostAcks() const;
    // Off: the board takes the host's data frames without acknowledging them. Any thread.
    void setAcknowledging(bool on) { acknowledging_.store(on); }
    // Off: the board neither answers version requests nor sends its version report, as a
    // board that fell silent or never identifies itself. Any thread.
    void setAnswering(bool on) { answering_.store(on); }
    // Version replies and reports sent so far, and when the last one went out.
    int versionsSent() const { return versionsSent_.load(); }
    std::chrono::steady_clock::time_point lastVersion() const;
    // The board's end of the line closes, as when its adapter is pulled: the host's port
    // hangs up. The board is dead afterwards.
    void hangUp();

private:
    void run();
    void take(const unsigned char* bytes, std::size_t count,
              std::chrono::steady_clock::time_point at);
    void sendVersion();
    bool writeLocked(const Bytes& bytes, std::chrono::milliseconds timeout);

    const unsigned char device_;
    // Its master side is closed by hangUp() under writeMutex_, after the board thread ended.
    testing_support::Pty pty_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> asked_{false};
    std::atomic<bool> acknowledging_{true};
    std::atomic<bool> answering_{true};
    std::atomic<int> versionsSent_{0};
    std::mutex writeMutex_;     // one writer at a time on the line
    unsigned char number_ = 0;  // guarded by writeMutex_
    mutable std::mutex mutex_;
    std::vector<HostFrame> hostFrames_;                  // guarded by mutex_
    std::vector<unsigned char> hostAcks_;                // guarded by mutex_
    std::chrono::steady_clock::time_point lastVersion_;  // guarded by mutex_
    Bytes pending_;                                      // board thread only
    std::thread thread_;
};

// A delay meter report whose maximum is `max` and the client message it becomes.
Bytes delayPayload(int32_t max);
std::string delayMessage(int32_t max);

}  // namespace fault_e2e
