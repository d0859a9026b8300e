// Runs the configured boards: plugs each one in on its pseudo-terminal and serves them all
// from one thread with poll() over the masters and the boards' next deadlines; applies the
// timed faults (silence, unplug, replug) and the faults asked for on the control input, and
// keeps the frame log.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "simoptions.h"

class SimBoard;
class PtyLink;
class FrameLog;
class ControlInput;
struct ControlCommand;

class Simulator {
public:
    // Output the host does not read is dropped beyond this, per board.
    static constexpr std::size_t MAX_PENDING = 64 * 1024;
    // The loop looks at the stop flag at least this often.
    static constexpr int64_t MAX_POLL_MS = 100;

    explicit Simulator(SimConfig config, std::FILE* console = stdout);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the frame log and the control input when asked, and plugs every board in; false
    // with a reason when one cannot be opened, or a terminal or link cannot be made (the
    // boards already plugged are unplugged again).
    bool start(std::string& error);
    // Serves the boards until `stop` is set (from a signal handler or another thread).
    void run(const std::atomic<bool>& stop);
    // Unplugs every board: removes its link and closes its terminal; writes out the log.
    void shutdown();

private:
    struct Slot;
    bool plug(Slot& slot, std::string& error);
    void unplug(Slot& slot, const char* why);
    void applyTimers(Slot& slot, int64_t nowMs);
    int64_t nextTimer(const Slot& slot) const;
    void collect(Slot& slot);
    void flush(Slot& slot);
    void readFrom(Slot& slot, int64_t nowMs);
    int64_t nowMs() const;
    void say(const std::string& line) const;
    void event(const Slot& slot, const std::string& text);
    void logSent(const Slot& slot, std::vector<LineEvent> pieces, const char* lostReason);
    void logReceived(Slot& slot);
    void readControl();
    void apply(const ControlCommand& command, int64_t nowMs);

    SimConfig config_;
    std::FILE* console_;
    int64_t startNs_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::unique_ptr<FrameLog> log_;
    std::unique_ptr<ControlInput> control_;
};
