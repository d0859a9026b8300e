#include "replayer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "protocolendpoint.h"
#include "ptylink.h"

namespace {

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

std::string secondsText(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

// The loop looks at the stop flag at least this often.
constexpr int64_t MAX_POLL_US = 100000;

}  // namespace

struct Replayer::Port {
    Port(const PortPlan& p, const std::string& dir) : plan(p), link(dir, p.name) {}
    const PortPlan& plan;
    PtyLink link;
    std::unique_ptr<ProtocolEndpoint> endpoint;
    std::size_t segment = 0;
    std::size_t chunk = 0;
    int64_t plugAt = -1;  // replay time the current stretch is plugged in; -1 not known yet
    int64_t pluggedAt = -1;
    int64_t anchorAt = -1;  // replay time of the current stretch's anchor; -1 not anchored
    int64_t anchorCapture = 0;
    int64_t closeDueAt = -1;  // the stretch is over; unplug once the host read it all
    bool done = false;
    std::vector<uint8_t> pending;
    bool dropping = false;

    const ReplaySegment& current() const { return plan.segments[segment]; }
};

Replayer::Replayer(ReplayPlan plan, std::string dir, double speed, bool verbose, std::FILE* console)
    : plan_(std::move(plan)),
      dir_(std::move(dir)),
      speed_(speed > 0 ? speed : 1.0),
      verbose_(verbose),
      console_(console),
      startNs_(steadyNs()) {
    for (const PortPlan& port : plan_.ports) {
        ports_.push_back(std::make_unique<Port>(port, dir_));
        if (port.segments.empty()) {
            ports_.back()->done = true;
        }
    }
}

Replayer::~Replayer() {
    shutdown();
}

int64_t Replayer::nowUs() const {
    return (steadyNs() - startNs_) / 1000;
}

void Replayer::say(const std::string& line) const {
    if (console_) {
        std::fprintf(console_, "[%9.3f] %s\n", static_cast<double>(nowUs()) / 1e6, line.c_str());
        std::fflush(console_);
    }
}

bool Replayer::start(std::string& error) {
    for (const std::string& note : plan_.notes) {
        say("replay: " + note);
    }
    const int64_t now = nowUs();
    for (auto& port : ports_) {
        if (port->done) {
            continue;
        }
        // Whatever was open before the daemon first wrote to any board was there at its start.
        const int64_t openUs = port->current().openUs;
        if (plan_.firstAnchorUs < 0 || openUs <= plan_.firstAnchorUs) {
            port->plugAt = now;
            if (!plug(*port, now, error)) {
                shutdown();
                return false;
            }
        }
    }
    return true;
}

bool Replayer::plug(Port& port, int64_t now, std::string& error) {
    if (!port.link.plug(error)) {
        error = port.plan.name + ": " + error;
        return false;
    }
    ProtocolEndpoint::Log log;
    if (verbose_) {
        std::string name = port.plan.name;
        log = [this, name](const std::string& line) { say(name + " " + line); };
    }
    // A board plugged in again is a fresh one: its parser and frame numbers start over.
    port.endpoint = std::make_unique<ProtocolEndpoint>(LinkFaults{}, 1, std::move(log));
    port.pending.clear();
    port.pluggedAt = now;
    port.anchorAt = -1;
    port.closeDueAt = -1;
    port.chunk = 0;
    say(port.plan.name + ": replayed board plugged in on " + port.link.slavePath());
    if (port.current().anchorUs < 0) {
        // The daemon wrote nothing to it in the capture: nothing to wait for.
        port.anchorAt = now;
        port.anchorCapture = port.current().openUs;
    }
    return true;
}

void Replayer::unplug(Port& port, const char* why) {
    if (!port.link.plugged()) {
        return;
    }
    port.link.unplug();
    port.endpoint.reset();
    port.pending.clear();
    say(port.plan.name + ": unplugged (" + why + ")");
}

void Replayer::anchor(Port& port, int64_t now, bool forced) {
    port.anchorAt = now;
    port.anchorCapture = port.current().anchorUs;
    if (globalAnchorAt_ < 0) {
        globalAnchorAt_ = now;
        globalAnchorCapture_ = port.anchorCapture;
    }
    say(port.plan.name +
        (forced ? ": the host never wrote; playing on anyway from "
                : ": the host asked; playing from ") +
        secondsText(port.anchorCapture - plan_.startUs) + " of the capture");
}

int64_t Replayer::toReplay(const Port& port, int64_t captureUs) const {
    return port.anchorAt +
           static_cast<int64_t>(static_cast<double>(captureUs - port.anchorCapture) / speed_);
}

bool Replayer::drained(const Port& port) const {
    return port.pending.empty() && port.link.unread() == 0;
}

void Replayer::step(Port& port, int64_t now) {
    // Bounded: each pass either returns or moves on to the next stretch.
    for (std::size_t guard = 0; guard <= port.plan.segments.size() && !port.done; ++guard) {
        const ReplaySegment& segment = port.current();
        if (!port.link.plugged()) {
            if (port.plugAt < 0 && port.segment == 0 && globalAnchorAt_ >= 0) {
                port.plugAt =
                    globalAnchorAt_ +
                    static_cast<int64_t>(
                        static_cast<double>(segment.openUs - globalAnchorCapture_) / speed_);
            }
            if (port.plugAt < 0 || now < port.plugAt) {
                return;
            }
            std::string error;
            if (!plug(port, now, error)) {
                say("replay: cannot plug in: " + error + "; " + port.plan.name + " is left out");
                port.done = true;
                return;
            }
        }
        if (port.anchorAt < 0) {
            if (now - port.pluggedAt < ANCHOR_WAIT_US) {
                return;
            }
            anchor(port, now, true);
        }
        // Quiet after its last word, as the captured board was.
        port.endpoint->setSilent(segment.lastWordUs < 0 ||
                                 now > toReplay(port, segment.lastWordUs) + ACK_SLACK_US);
        while (port.chunk < segment.chunks.size()) {
            const ReplaySegment::Chunk& chunk = segment.chunks[port.chunk];
            if (toReplay(port, std::max(chunk.us, port.anchorCapture)) > now) {
                break;
            }
            if (port.pending.size() + chunk.bytes.size() > MAX_PENDING) {
                if (!port.dropping) {
                    say(port.plan.name + ": the host is not reading, dropping output");
                }
                port.dropping = true;
            } else {
                port.dropping = false;
                port.pending.insert(port.pending.end(), chunk.bytes.begin(), chunk.bytes.end());
                framesPlayed_ += chunk.frame ? 1 : 0;
            }
            if (verbose_) {
                say(port.plan.name + " -> " + hexText(chunk.bytes) +
                    (chunk.frame ? "  | captured frame" : "  | captured noise"));
            }
            ++port.chunk;
        }
        if (port.chunk < segment.chunks.size()) {
            return;
        }
        // Open to the end of the capture: played out once the capture is, and the host has
        // read it all (or had its time to).
        const int64_t closeAt =
            toReplay(port, segment.closeUs >= 0 ? segment.closeUs : plan_.endUs);
        if (now < closeAt) {
            return;
        }
        if (port.closeDueAt < 0) {
            port.closeDueAt = now;
        }
        if (!drained(port) && now - port.closeDueAt < DRAIN_WAIT_US) {
            return;
        }
        if (segment.closeUs < 0) {
            port.done = true;
            return;
        }
        unplug(port, "closed in the capture");
        if (port.segment + 1 >= port.plan.segments.size()) {
            port.done = true;
            return;
        }
        // The next stretch keeps this one's clock until the daemon writes to it again.
        const int64_t plugAt = toReplay(port, port.plan.segments[port.segment + 1].openUs);
        ++port.segment;
        port.plugAt = std::max(plugAt, now);
        port.anchorAt = -1;
    }
}

int64_t Replayer::nextWake(const Port& port, int64_t now) const {
    if (port.done) {
        return -1;
    }
    if (!port.link.plugged()) {
        return port.plugAt;  // -1 while it waits for another port's anchor
    }
    if (port.anchorAt < 0) {
        return port.pluggedAt + ANCHOR_WAIT_US;
    }
    const ReplaySegment& segment = port.current();
    if (port.chunk < segment.chunks.size()) {
        return toReplay(port, std::max(segment.chunks[port.chunk].us, port.anchorCapture));
    }
    if (port.closeDueAt < 0) {
        return toReplay(port, segment.closeUs >= 0 ? segment.closeUs : plan_.endUs);
    }
    // Waiting for the host to read the rest.
    return now + 10000;
}

void Replayer::flush(Port& port) {
    while (!port.pending.empty() && port.link.plugged()) {
        ssize_t n = ::write(port.link.master(), port.pending.data(), port.pending.size());
        if (n > 0) {
            port.pending.erase(port.pending.begin(), port.pending.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // full (EAGAIN): poll says when it drains
        }
    }
}

void Replayer::readFrom(Port& port, int64_t now) {
    unsigned char buffer[4096];
    // Bounded per pass so that one chatty line cannot starve the others.
    for (int round = 0; round < 16 && port.endpoint; ++round) {
        ssize_t n = ::read(port.link.master(), buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        if (port.anchorAt < 0) {
            const ReplaySegment& segment = port.current();
            port.endpoint->setSilent(segment.lastWordUs < 0 ||
                                     segment.lastWordUs + ACK_SLACK_US < segment.anchorUs);
        }
        const bool wasAnchored = port.anchorAt >= 0;
        std::vector<Command> frames = port.endpoint->receive(buffer, static_cast<std::size_t>(n));
        if (!wasAnchored && !frames.empty()) {
            anchor(port, now, false);
        }
        std::vector<unsigned char> acks = port.endpoint->takeOutput();
        port.pending.insert(port.pending.end(), acks.begin(), acks.end());
    }
}

bool Replayer::run(const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    std::vector<Port*> polled;
    while (!stop.load()) {
        int64_t now = nowUs();
        int64_t timeout = MAX_POLL_US;
        bool allDone = true;
        fds.clear();
        polled.clear();
        for (auto& port : ports_) {
            step(*port, now);
            flush(*port);
            allDone = allDone && port->done;
            const int64_t wake = nextWake(*port, now);
            if (wake >= 0) {
                timeout = std::clamp<int64_t>(wake - now, 0, timeout);
            }
            if (port->link.plugged()) {
                short events = POLLIN;
                if (!port->pending.empty()) {
                    events |= POLLOUT;
                }
                fds.push_back({port->link.master(), events, 0});
                polled.push_back(port.get());
            }
        }
        if (allDone) {
            say("replay: played out: " + std::to_string(ports_.size()) + " boards, " +
                std::to_string(framesPlayed_) + " frames played");
            return true;
        }
        // Milliseconds for poll, rounded up so that a due moment is never missed by a hair.
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>((timeout + 999) / 1000));
        if (ready <= 0) {
            continue;  // timeout, or a signal (EINTR): the loop looks at the flag
        }
        now = nowUs();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            Port& port = *polled[i];
            if (fds[i].revents & POLLIN) {
                readFrom(port, now);
            } else if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                // Both ends are held here, so this is no unplug by the host: give up the port.
                unplug(port, "line lost");
                port.done = true;
                continue;
            }
            flush(port);
        }
    }
    return false;
}

void Replayer::shutdown() {
    for (auto& port : ports_) {
        port->link.unplug();
        port->endpoint.reset();
    }
}
