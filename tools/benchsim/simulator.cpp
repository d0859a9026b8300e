#include "simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "boardkinds.h"
#include "boardmodel.h"
#include "controlinput.h"
#include "framelog.h"
#include "outputqueue.h"
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
        : spec(std::move(s)), link(dir, spec.name), seed(seed), pending(MAX_PENDING) {}
    BoardSpec spec;
    PtyLink link;
    uint32_t seed;
    std::unique_ptr<SimBoard> board;
    OutputQueue pending;
    bool silenced = false;
    // Faults from the control input that end by themselves; -1 when none is on.
    int64_t silentUntilMs = -1;
    int64_t noAckUntilMs = -1;
    int64_t heldUntilMs = -1;    // a stand's motor stuck (hold)
    bool silentForGood = false;  // this board, by silent-after
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

void Simulator::event(const Slot& slot, const std::string& text) {
    if (log_) {
        log_->add(slot.spec.name, "event " + text);
    }
}

void Simulator::logSent(const Slot& slot, std::vector<LineEvent> pieces, const char* lostReason) {
    if (!log_) {
        return;
    }
    for (const LineEvent& piece : pieces) {
        if (!lostReason) {
            log_->add(slot.spec.name, FrameLog::sent(piece));
        } else if (piece.kind != LineEvent::NOISE) {
            log_->add(slot.spec.name, FrameLog::lost(piece, lostReason));
        }
    }
}

void Simulator::logReceived(Slot& slot) {
    if (!log_ || !slot.board) {
        return;
    }
    for (const LineEvent& piece : slot.board->endpoint().takeReceived()) {
        log_->add(slot.spec.name, FrameLog::received(piece));
    }
}

bool Simulator::start(std::string& error) {
    if (!config_.frameLog.empty()) {
        log_ = std::make_unique<FrameLog>();
        if (!log_->open(config_.frameLog, error)) {
            log_.reset();
            return false;
        }
    }
    if (!config_.control.empty()) {
        control_ = std::make_unique<ControlInput>();
        if (!control_->open(config_.control, error)) {
            control_.reset();
            return false;
        }
    }
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
    slot.board->endpoint().recordLine(log_ != nullptr);
    slot.pending.clear();
    // A fresh board: a silence or a pause of its acknowledgements ended with the old one.
    slot.silentUntilMs = -1;
    slot.noAckUntilMs = -1;
    slot.heldUntilMs = -1;
    slot.silentForGood = false;
    const std::string id = std::to_string(slot.board->model().deviceId());
    say(slot.spec.name + ": " + slot.spec.kind + " (id " + id + ") plugged in on " +
        slot.link.slavePath() + held);
    event(slot, "plug " + slot.spec.kind + " " + id + " " + slot.link.slavePath());
    return true;
}

void Simulator::unplug(Slot& slot, const char* why) {
    if (!slot.link.plugged()) {
        return;
    }
    slot.link.unplug();
    slot.board.reset();
    logSent(slot, slot.pending.clear(), "unplug");
    say(slot.spec.name + ": unplugged (" + why + ")");
    std::string word = why;
    std::replace(word.begin(), word.end(), ' ', '-');  // one word in the log
    event(slot, "unplug " + word);
}

void Simulator::shutdown() {
    for (auto& slot : slots_) {
        if (slot->link.plugged()) {
            logSent(*slot, slot->pending.clear(), "unplug");
            event(*slot, "unplug exit");
        }
        slot->link.unplug();
        slot->board.reset();
    }
    if (log_) {
        log_->flush(true);
    }
}

void Simulator::applyTimers(Slot& slot, int64_t now) {
    const BoardSpec& spec = slot.spec;
    if (spec.silentAfter >= 0 && !slot.silenced && now >= secondsToMs(spec.silentAfter)) {
        slot.silenced = true;
        if (slot.board) {
            slot.board->setSilent(true);
            slot.silentForGood = true;
            say(spec.name + ": silent from now on");
            event(slot, "silent forever");
        }
    }
    if (slot.silentUntilMs >= 0 && now >= slot.silentUntilMs) {
        slot.silentUntilMs = -1;
        // A silence for good (silent-after) outlasts one asked for a while.
        if (slot.board && !slot.silentForGood) {
            slot.board->setSilent(false);
            say(spec.name + ": talking again");
            event(slot, "speak");
        }
    }
    if (slot.noAckUntilMs >= 0 && now >= slot.noAckUntilMs) {
        slot.noAckUntilMs = -1;
        if (slot.board) {
            slot.board->endpoint().pauseAcks(false);
            say(spec.name + ": acknowledging again");
            event(slot, "ack");
        }
    }
    if (slot.heldUntilMs >= 0 && now >= slot.heldUntilMs) {
        slot.heldUntilMs = -1;
        if (auto* stand = slot.board ? dynamic_cast<StandModel*>(&slot.board->model()) : nullptr) {
            // Back to the motor of the options: sound, or held for the whole run.
            stand->holdSpeed(spec.holdRpm);
            say(spec.name + ": motor free again");
            event(slot, "release");
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
        // Plugged in again meanwhile (replug on the control input): that board stays.
        if (!slot.link.plugged() && !plug(slot, error)) {
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
    for (int64_t until : {slot.silentUntilMs, slot.noAckUntilMs, slot.heldUntilMs}) {
        if (until >= 0) {
            consider(until);
        }
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
    std::vector<LineEvent> pieces;
    std::vector<unsigned char> bytes = slot.board->takeOutput(log_ ? &pieces : nullptr);
    std::vector<LineEvent> lost;
    if (!slot.pending.add(bytes, std::move(pieces), lost)) {
        // Nobody reads the line (the host is not running): the board talks into the void.
        if (slot.droppedBytes == 0) {
            say(slot.spec.name + ": the host is not reading, dropping output");
        }
        slot.droppedBytes += bytes.size();
        logSent(slot, std::move(lost), "overflow");
        return;
    }
    slot.droppedBytes = 0;
}

void Simulator::flush(Slot& slot) {
    while (!slot.pending.empty() && slot.link.plugged()) {
        ssize_t n = ::write(slot.link.master(), slot.pending.data(), slot.pending.size());
        if (n > 0) {
            logSent(slot, slot.pending.written(static_cast<std::size_t>(n)), nullptr);
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
        logReceived(slot);
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
        if (log_) {
            if (!log_->flush()) {
                std::fprintf(stderr, "benchsim: cannot write the frame log %s: %s; no more log\n",
                             config_.frameLog.c_str(), log_->error().c_str());
                log_.reset();
            } else if (int64_t due = log_->dueInUs(); due >= 0) {
                timeout = std::min<int64_t>(timeout, (due + 999) / 1000);
            }
        }
        const std::size_t boards = fds.size();
        if (control_ && control_->fd() >= 0) {
            fds.push_back({control_->fd(), POLLIN, 0});
        }
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeout));
        if (ready <= 0) {
            continue;  // timeout, or a signal (EINTR): the loop looks at the flag
        }
        now = nowMs();
        for (std::size_t i = 0; i < boards; ++i) {
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
        if (fds.size() > boards && fds[boards].revents != 0) {
            readControl();
        }
    }
}

void Simulator::readControl() {
    std::vector<std::string> lines, errors;
    control_->read(lines, errors);
    for (const std::string& error : errors) {
        std::fprintf(stderr, "benchsim: control: %s\n", error.c_str());
    }
    for (const std::string& line : lines) {
        ControlCommand command;
        std::string error;
        if (!ControlCommand::parse(line, command, error)) {
            std::fprintf(stderr, "benchsim: control: %s\n", error.c_str());
            continue;
        }
        apply(command, nowMs());
    }
}

void Simulator::apply(const ControlCommand& command, int64_t now) {
    auto found = std::find_if(slots_.begin(), slots_.end(),
                              [&](const auto& slot) { return slot->spec.name == command.board; });
    if (found == slots_.end()) {
        std::fprintf(stderr, "benchsim: control: no board named '%s'\n", command.board.c_str());
        return;
    }
    Slot& slot = **found;
    const std::string& name = slot.spec.name;
    if (command.verb == ControlCommand::UNPLUG || command.verb == ControlCommand::REPLUG) {
        const bool unplugging = command.verb == ControlCommand::UNPLUG;
        if (slot.link.plugged() != unplugging) {
            say(name + (unplugging ? ": not plugged in" : ": already plugged in"));
        } else if (unplugging) {
            unplug(slot, "control");
        } else if (std::string error; !plug(slot, error)) {
            say("cannot plug in again: " + error);
        }
        return;
    }
    if (!slot.board) {
        std::fprintf(stderr, "benchsim: control: %s is not plugged in\n", name.c_str());
        return;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", command.seconds);
    const std::string count = std::to_string(command.count);
    ProtocolEndpoint& endpoint = slot.board->endpoint();
    switch (command.verb) {
        case ControlCommand::SILENT:
            slot.board->setSilent(true);
            slot.silentUntilMs = now + secondsToMs(command.seconds);
            say(name + ": silent for " + seconds + " s");
            event(slot, std::string("silent ") + seconds);
            break;
        case ControlCommand::NOACK:
            endpoint.pauseAcks(true);
            slot.noAckUntilMs = now + secondsToMs(command.seconds);
            say(name + ": acknowledging nothing for " + seconds + " s");
            event(slot, std::string("noack ") + seconds);
            break;
        case ControlCommand::RESET:
            endpoint.restartNumbering();
            say(name + ": frame numbers start again");
            event(slot, "reset");
            break;
        case ControlCommand::NOISE:
            say(name + ": " + count + " noise bytes");
            event(slot, "noise " + count);
            endpoint.noise(command.count);
            collect(slot);
            flush(slot);
            break;
        case ControlCommand::HOLD: {
            auto* stand = dynamic_cast<StandModel*>(&slot.board->model());
            if (stand == nullptr) {
                std::fprintf(stderr, "benchsim: control: %s is not a stand\n", name.c_str());
                break;
            }
            stand->holdSpeed(static_cast<int>(command.count));
            slot.heldUntilMs = now + secondsToMs(command.seconds);
            say(name + ": motor held at " + count + " rpm for " + seconds + " s");
            event(slot, std::string("hold ") + seconds + " " + count);
            break;
        }
        case ControlCommand::BADCRC:
            endpoint.corruptNext(command.count);
            say(name + ": the next " + count + " data frames with a broken CRC");
            event(slot, "badcrc " + count);
            break;
        default:
            break;
    }
}
