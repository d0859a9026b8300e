// Plays a capture back: one board per captured port, on a pseudo-terminal linked into the
// device directory under the port's captured name. Each board sends what the captured board
// sent (data frames as they were on the line, bad CRCs and noise included) at the captured
// pace, and acknowledges the daemon's data frames live with the daemon's own numbers.
//
// A port's timeline starts when the daemon first writes a data frame to it (the version
// request), matched to the first one of the capture: the daemon's start-up and scan delays do
// not shift the board's answers. What the board sent before that is sent at once then. A
// closed port in the capture unplugs the board at its time; an opened one plugs it again,
// anchored afresh. After its last word in a stretch, a board stays quiet, acknowledgements
// included, as the captured one did.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "replayplan.h"

class Replayer {
public:
    // Output the host does not read is dropped beyond this, per board.
    static constexpr std::size_t MAX_PENDING = 64 * 1024;
    // A board the daemon never writes to starts playing anyway after this long.
    static constexpr int64_t ANCHOR_WAIT_US = 10000000;
    // How long a board waits for the host to read what it sent before it is unplugged.
    static constexpr int64_t DRAIN_WAIT_US = 1000000;
    // A daemon frame this late after the board's last captured word is still acknowledged.
    static constexpr int64_t ACK_SLACK_US = 300000;

    Replayer(ReplayPlan plan, std::string dir, double speed, bool verbose,
             std::FILE* console = stdout);
    ~Replayer();
    Replayer(const Replayer&) = delete;
    Replayer& operator=(const Replayer&) = delete;

    // Plugs the boards that were there from the capture's start; false with a reason.
    bool start(std::string& error);
    // Plays until the capture is played out (true, said on the console) or `stop` is set.
    bool run(const std::atomic<bool>& stop);
    // Unplugs every board.
    void shutdown();
    uint64_t framesPlayed() const { return framesPlayed_; }

private:
    struct Port;
    bool plug(Port& port, int64_t now, std::string& error);
    void unplug(Port& port, const char* why);
    void anchor(Port& port, int64_t now, bool forced);
    int64_t toReplay(const Port& port, int64_t captureUs) const;
    void step(Port& port, int64_t now);
    int64_t nextWake(const Port& port, int64_t now) const;
    void readFrom(Port& port, int64_t now);
    void flush(Port& port);
    bool drained(const Port& port) const;
    int64_t nowUs() const;
    void say(const std::string& line) const;

    ReplayPlan plan_;
    std::string dir_;
    double speed_;
    bool verbose_;
    std::FILE* console_;
    int64_t startNs_;
    // The first anchor of any port: when a port first opened later in the capture is plugged.
    int64_t globalAnchorAt_ = -1;
    int64_t globalAnchorCapture_ = -1;
    uint64_t framesPlayed_ = 0;
    std::vector<std::unique_ptr<Port>> ports_;
};
