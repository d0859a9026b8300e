#include "link/sendmanager.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "link/boardbehaviour.h"
#include "link/channel.h"
#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "service/consolethrottle.h"
#include "service/heartbeat.h"

Mutex devMutex;

namespace {

constexpr int SEND_TRIES = 3;
constexpr std::chrono::milliseconds HANDSHAKE_PAUSE{500};
// Between the passes of an unidentified board: keeps the handshake about 510 ms apart.
constexpr std::chrono::milliseconds IDLE_PAUSE{10};

std::unique_ptr<Command> numbered(Command command, unsigned char number) {
    command.setNumber(number);
    return std::make_unique<Command>(command);
}

}  // namespace

SendManager::SendManager(Channel* channel) : channel(channel) {}

SendManager::~SendManager() {
    stop();
    join();
}

void SendManager::start() {
    sender = std::thread(&SendManager::run, this);
}

void SendManager::stop() {
    waker_.stop();
}

void SendManager::join() {
    if (sender.joinable()) {
        sender.join();
    }
}

bool SendManager::pause(std::chrono::milliseconds period) {
    return waker_.pause(period);
}

void SendManager::wake() {
    waker_.wake();
}

std::unique_ptr<Command> SendManager::getVersion() {
    return numbered(Command::makeData(codes::VERSION, ACCESS_REQUEST, nullptr, 0), frameCounter);
}

std::unique_ptr<Command> SendManager::addSchedule(unsigned char code, int period) {
    unsigned char payload[7] = {0x00, code, 0x04};
    util::putBE32(payload, 3, static_cast<uint32_t>(period));
    return numbered(Command::makeData(codes::SCHEDULE, ACCESS_COMMAND, payload, sizeof payload),
                    frameCounter);
}

std::unique_ptr<Command> SendManager::clearSchedule() {
    const unsigned char payload[1] = {0xFF};
    return numbered(Command::makeData(codes::SCHEDULE, ACCESS_COMMAND, payload, 1), frameCounter);
}

SendManager::Clock::time_point SendManager::now() const {
    return channel->options().clock();
}

void SendManager::enqueue(std::unique_ptr<Command> command) {
    std::vector<std::unique_ptr<Command>> one;
    one.push_back(std::move(command));
    enqueue(std::move(one));
}

void SendManager::enqueue(std::vector<std::unique_ptr<Command>> commands) {
    std::vector<Queued> entries;
    for (auto& command : commands) {
        entries.push_back({std::move(command), {}, CommandKind::ACTION, 0});
    }
    push(std::move(entries));
}

void SendManager::enqueueSetting(std::unique_ptr<Command> command, uint32_t mergeKey) {
    std::vector<Queued> entries;
    entries.push_back({std::move(command), {}, CommandKind::SETTING, mergeKey});
    push(std::move(entries));
}

void SendManager::enqueueStop(std::unique_ptr<Command> command, uint32_t mergeKey) {
    std::vector<Queued> entries;
    entries.push_back({std::move(command), {}, CommandKind::STOP, mergeKey});
    push(std::move(entries));
}

void SendManager::enqueueUrgent(std::vector<std::unique_ptr<Command>> commands, uint32_t mergeKey) {
    std::vector<Queued> entries;
    for (auto& command : commands) {
        entries.push_back({std::move(command), {}, CommandKind::URGENT, mergeKey});
    }
    push(std::move(entries));
}

bool SendManager::fallenBehindLocked(Clock::time_point at) const {
    if (sendQueue.empty()) {
        return false;
    }
    if (sendQueue.size() >= QUEUE_LIMIT || at - sendQueue.front().since > LAG_LIMIT) {
        return true;
    }
    // A burst queues far more than the board can take long before the oldest entry has waited
    // LAG_LIMIT, and the last setting of a burst is the one that matters: judge by the pace too,
    // the command in hand included.
    Clock::duration pace = lastPace;
    if (busy) {
        pace = std::max(pace, at - busySince);
    }
    return pace * static_cast<Clock::rep>(sendQueue.size()) > BACKLOG_LIMIT;
}

void SendManager::push(std::vector<Queued> entries) {
    uint64_t superseded = 0;
    uint64_t overflow = 0;
    {
        MutexLock lock(devMutex);
        const Clock::time_point at = now();
        std::size_t placed = 0;  // entries this call put at the front, in their order
        for (Queued& entry : entries) {
            entry.since = at;
            lagging = lagging || fallenBehindLocked(at);
            if (entry.kind == CommandKind::STOP || entry.kind == CommandKind::URGENT) {
                // Behind only the command being sent; what it stops must not start again.
                const auto first = sendQueue.begin() + static_cast<std::ptrdiff_t>(placed);
                auto stale = std::remove_if(first, sendQueue.end(), [&](const Queued& q) {
                    return (q.kind == CommandKind::SETTING || q.kind == CommandKind::STOP) &&
                           q.mergeKey == entry.mergeKey;
                });
                superseded += static_cast<uint64_t>(std::distance(stale, sendQueue.end()));
                sendQueue.erase(stale, sendQueue.end());
                if (sendQueue.size() >= QUEUE_LIMIT) {
                    // The oldest command that this call did not put there.
                    sendQueue.erase(sendQueue.begin() + static_cast<std::ptrdiff_t>(placed));
                    ++overflow;
                }
                sendQueue.insert(sendQueue.begin() + static_cast<std::ptrdiff_t>(placed++),
                                 std::move(entry));
                continue;
            }
            if (entry.kind == CommandKind::SETTING && lagging) {
                auto stale =
                    std::remove_if(sendQueue.begin(), sendQueue.end(), [&](const Queued& q) {
                        return q.kind == CommandKind::SETTING && q.mergeKey == entry.mergeKey;
                    });
                superseded += static_cast<uint64_t>(std::distance(stale, sendQueue.end()));
                sendQueue.erase(stale, sendQueue.end());
            }
            sendQueue.push_back(std::move(entry));
            if (sendQueue.size() > QUEUE_LIMIT) {
                sendQueue.pop_front();
                ++overflow;
            }
        }
    }
    ChannelCounters& counters = channel->counters();
    counters.superseded.fetch_add(superseded);
    if (overflow > 0) {
        counters.overflow.fetch_add(overflow);
        // Printed outside devMutex; a persisting flood prints once, then a count a minute.
        consoleThrottle().print("send-overflow/" + std::to_string(channel->serial()),
                                "Send queue full [" + channel->name() + "]: dropped " +
                                    std::to_string(overflow) + " oldest command(s)");
    }
    wake();
}

std::unique_ptr<Command> SendManager::popQueued() {
    MutexLock lock(devMutex);
    if (sendQueue.empty()) {
        // Nothing left to send: the board has caught up.
        lagging = false;
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(sendQueue.front().command);
    sendQueue.pop_front();
    return command;
}

std::size_t SendManager::queued() const {
    MutexLock lock(devMutex);
    return sendQueue.size();
}

void SendManager::writeOnce(std::unique_ptr<Command> command) {
    command->setNumber(frameCounter);
    command->createCommand();
    // A frame that did not go out whole is counted by the channel as a write failure.
    if (channel->sendCommand(*command) == static_cast<long>(command->size())) {
        channel->counters().commandsSent.fetch_add(1);
    }
    ++frameCounter;
}

bool SendManager::sendWithRetries(std::unique_ptr<Command> command) {
    {
        MutexLock lock(devMutex);
        busy = true;
        busySince = now();
    }
    command->setNumber(frameCounter);
    command->createCommand();
    bool acknowledged = false;
    const unsigned char number = command->number();
    auto ackIn = [this, number] { return channel->getAckNumber() == number; };
    ChannelCounters& counters = channel->counters();
    // Only an ACK that arrives for this command counts, not one left from an earlier frame.
    channel->clearAckNumber();
    bool onTheLine = false;
    int attempt = 0;
    for (; attempt < SEND_TRIES && !acknowledged; ++attempt) {
        if (channel->sendCommand(*command) == static_cast<long>(command->size())) {
            (onTheLine ? counters.retries : counters.commandsSent).fetch_add(1);
            onTheLine = true;
        }
        bool stillRunning = waker_.waitFor(channel->options().ackWait, ackIn);
        acknowledged = ackIn();
        if (!stillRunning) {
            // A stopped channel writes nothing more.
            break;
        }
    }
    if (!acknowledged && attempt == SEND_TRIES) {
        counters.dropped.fetch_add(1);
    }
    ++frameCounter;
    {
        MutexLock lock(devMutex);
        busy = false;
        lastPace = now() - busySince;
    }
    return acknowledged;
}

void SendManager::run() {
    Heartbeat heartbeat("sender " + channel->name());
    if (!pause(channel->options().startPause)) {
        return;
    }
    while (isRunning()) {
        heartbeat.beat();
        if (!channel->isDefined()) {
            writeOnce(getVersion());
            writeOnce(clearSchedule());
            writeOnce(addSchedule(codes::VERSION, 1000));
            // The board's schedule is gone now. Should a timeout have raced with the
            // configuration and left the flag set, the next identification still reprograms it.
            channel->setConfigured(false);
            // Half a second to the next handshake, cut short when the board identifies itself.
            if (!waker_.waitFor(HANDSHAKE_PAUSE, [this] { return channel->isDefined(); })) {
                break;
            }
        }
        // Only an identified board is configured: a timeout that has just cleared `defined`
        // must not see the old device id and program its schedule again.
        const Channel::Identity identity = channel->identity();
        if (!channel->isConfigured() && Channel::definedIn(identity)) {
            const BoardBehaviour* board = channel->options().board;
            BoardProfile profile;
            if (board != nullptr && board->profile) {
                profile = board->profile(Channel::deviceOf(identity));
            }
            for (const auto& entry : profile.schedule) {
                writeOnce(addSchedule(entry.first, entry.second));
            }
            for (auto& command : profile.firstCommands) {
                writeOnce(std::move(command));
            }
            if (!profile.schedule.empty()) {
                channel->setConfigured();
            }
        }
        while (isRunning()) {
            std::unique_ptr<Command> command = popQueued();
            if (!command) {
                break;
            }
            sendWithRetries(std::move(command));
            heartbeat.beat();
        }
        // An identified board needs the sender only when a command is queued or the board is
        // reset by the watcher; both wake it. Idle, it still checks in once a period.
        if (!waker_.idle(channel->isDefined() ? Heartbeat::PERIOD : IDLE_PAUSE)) {
            break;
        }
    }
}
