#include "simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "boardkinds.h"
#include "boardmodel.h"
#include "ptylink.h"
#include "simboard.h"
#include "standmodel.h"

namespace {

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t secondsToMs(double seconds) {
    // A time too far off for 64 bits (--unplug-after 1e300) would wrap into the past and fire
    // at once: it is held at some thirty thousand years instead.
    constexpr double FAR_MS = 1e15;
    return static_cast<int64_t>(std::min(seconds * 1000.0, FAR_MS));
}

}  // namespace

struct Simulator::Slot {
    Slot(BoardSpec s, const std::string& dir, uint32_t seed)
        : spec(std::move(s)), link(dir, spec.name), seed(seed) {}
    BoardSpec spec;
    PtyLink link;
    uint32_t seed;
    std::unique_ptr<SimBoard> board;
    std::vector<unsigned char> pending;
    bool silenced = false;
    int64_t unpluggedAtMs = -1;
    bool replugged = false;
    unsigned long droppedBytes = 0;
};

Simulator::Simulator(SimConfig config, std::FILE* console)
    : config_(std::move(config)), console_(console), startNs_(steadyNs()) {
    uint32_t seed = config_.seed;
    for (const BoardSpec& spec : config_.boards) {
        slots_.push_back(std::make_unique<Slot>(spec, config_.dir, seed));
        seed += 7919;
    }
}

Simulator::~Simulator() {
    shutdown();
}

int64_t Simulator::nowMs() const {
    return (steadyNs() - startNs_) / 1000000;
}

void Simulator::say(const std::string& line) const {
    if (console_) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%9.3f] ", static_cast<double>(nowMs()) / 1000.0);
        std::fprintf(console_, "%s%s\n", stamp, line.c_str());
        std::fflush(console_);
    }
}

bool Simulator::start(std::string& error) {
    for (auto& slot : slots_) {
        if (!plug(*slot, error)) {
            shutdown();
            return false;
        }
    }
    return true;
}

bool Simulator::plug(Slot& slot, std::string& error) {
    if (!slot.link.plug(error)) {
        error = slot.spec.name + ": " + error;
        return false;
    }
    ProtocolEndpoint::Log log;
    if (config_.verbose) {
        std::string name = slot.spec.name;
        log = [this, name](const std::string& line) { say(name + " " + line); };
    }
    // A replugged board is a fresh one: new settings, empty schedule, new frame numbers.
    std::unique_ptr<BoardModel> model = board_kinds::make(slot.spec.kind, slot.seed);
    std::string held;
    if (slot.spec.holdRpm >= 0) {
        // The options allow it for stands only.
        if (auto* stand = dynamic_cast<StandModel*>(model.get())) {
            stand->holdSpeed(slot.spec.holdRpm);
            held = ", motor held at " + std::to_string(slot.spec.holdRpm) + " rpm";
        }
    }
    slot.board =
        std::make_unique<SimBoard>(std::move(model), slot.spec.link, slot.seed + 1, std::move(log));
    slot.pending.clear();
    say(slot.spec.name + ": " + slot.spec.kind + " (id " +
        std::to_string(slot.board->model().deviceId()) + ") plugged in on " +
        slot.link.slavePath() + held);
    return true;
}

void Simulator::unplug(Slot& slot, const char* why) {
    if (!slot.link.plugged()) {
        return;
    }
    slot.link.unplug();
    slot.board.reset();
    slot.pending.clear();
    say(slot.spec.name + ": unplugged (" + why + ")");
}

void Simulator::shutdown() {
    for (auto& slot : slots_) {
        slot->link.unplug();
        slot->board.reset();
    }
}

void Simulator::applyTimers(Slot& slot, int64_t now) {
    const BoardSpec& spec = slot.spec;
    if (spec.silentAfter >= 0 && !slot.silenced && now >= secondsToMs(spec.silentAfter)) {
        slot.silenced = true;
        if (slot.board) {
            slot.board->setSilent(true);
            say(spec.name + ": silent from now on");
        }
    }
    if (spec.unplugAfter >= 0 && slot.unpluggedAtMs < 0 && now >= secondsToMs(spec.unplugAfter)) {
        slot.unpluggedAtMs = now;
        unplug(slot, "unplug-after");
    }
    if (spec.replugAfter >= 0 && slot.unpluggedAtMs >= 0 && !slot.replugged &&
        now >= slot.unpluggedAtMs + secondsToMs(spec.replugAfter)) {
        slot.replugged = true;
        std::string error;
        if (!plug(slot, error)) {
            say("cannot plug in again: " + error);
        }
    }
}

int64_t Simulator::nextTimer(const Slot& slot) const {
    const BoardSpec& spec = slot.spec;
    int64_t next = -1;
    auto consider = [&next](int64_t at) { next = next < 0 ? at : std::min(next, at); };
    if (spec.silentAfter >= 0 && !slot.silenced) {
        consider(secondsToMs(spec.silentAfter));
    }
    if (spec.unplugAfter >= 0 && slot.unpluggedAtMs < 0) {
        consider(secondsToMs(spec.unplugAfter));
    }
    if (spec.replugAfter >= 0 && slot.unpluggedAtMs >= 0 && !slot.replugged) {
        consider(slot.unpluggedAtMs + secondsToMs(spec.replugAfter));
    }
    if (slot.board) {
        int64_t wake = slot.board->nextWake();
        if (wake >= 0) {
            consider(wake);
        }
    }
    return next;
}

void Simulator::collect(Slot& slot) {
    if (!slot.board) {
        return;
    }
    std::vector<unsigned char> bytes = slot.board->takeOutput();
    if (slot.pending.size() + bytes.size() > MAX_PENDING) {
        // Nobody reads the line (the host is not running): the board talks into the void.
        if (slot.droppedBytes == 0) {
            say(slot.spec.name + ": the host is not reading, dropping output");
        }
        slot.droppedBytes += bytes.size();
        return;
    }
    slot.droppedBytes = 0;
    slot.pending.insert(slot.pending.end(), bytes.begin(), bytes.end());
}

void Simulator::flush(Slot& slot) {
    while (!slot.pending.empty() && slot.link.plugged()) {
        ssize_t n = ::write(slot.link.master(), slot.pending.data(), slot.pending.size());
        if (n > 0) {
            slot.pending.erase(slot.pending.begin(), slot.pending.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // full (EAGAIN): poll says when it drains
        }
    }
}

void Simulator::readFrom(Slot& slot, int64_t now) {
    unsigned char buffer[4096];
    // Bounded per pass so that one chatty line cannot starve the others.
    for (int round = 0; round < 16 && slot.board; ++round) {
        ssize_t n = ::read(slot.link.master(), buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        slot.board->receive(buffer, static_cast<std::size_t>(n), now);
        collect(slot);
    }
}

void Simulator::run(const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    std::vector<Slot*> polled;
    while (!stop.load()) {
        int64_t now = nowMs();
        int64_t timeout = MAX_POLL_MS;
        fds.clear();
        polled.clear();
        for (auto& slot : slots_) {
            applyTimers(*slot, now);
            if (slot->board) {
                slot->board->tick(now);
                collect(*slot);
                flush(*slot);
            }
            int64_t next = nextTimer(*slot);
            if (next >= 0) {
                timeout = std::clamp<int64_t>(next - now, 0, timeout);
            }
            if (slot->link.plugged()) {
                short events = POLLIN;
                if (!slot->pending.empty()) {
                    events |= POLLOUT;
                }
                fds.push_back({slot->link.master(), events, 0});
                polled.push_back(slot.get());
            }
        }
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeout));
        if (ready <= 0) {
            continue;  // timeout, or a signal (EINTR): the loop looks at the flag
        }
        now = nowMs();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            Slot& slot = *polled[i];
            if (fds[i].revents & POLLIN) {
                readFrom(slot, now);
                flush(slot);
            } else if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                unplug(slot, "line lost");
                continue;
            }
            if (fds[i].revents & POLLOUT) {
                flush(slot);
            }
        }
    }
}
