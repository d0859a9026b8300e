#include "link/receivemanager.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/recorder.h"
#include "link/boardbehaviour.h"
#include "link/channel.h"
#include "protocol/command.h"
#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/heartbeat.h"

namespace {

// How often the reader retries a port that reports an error or a hang-up, and how often it
// looks at the run flag should the stop eventfd be missing (no descriptor left for it).
constexpr std::chrono::milliseconds RETRY_PAUSE{2};
// A hang-up reported this long without a byte read is for good: a port only hangs up when its
// device went away (the adapter unplugged, the other side of a pseudo-terminal closed).
constexpr std::chrono::milliseconds HANGUP_LIMIT{500};

// Errors after which the descriptor never reads again: the device behind it is gone.
bool hardReadError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// The reader gives the port up; the watcher retires the channel on its next pass.
void lose(Channel& channel, const std::string& reason) {
    console::out("Port lost [" + channel.name() + "]: " + reason);
    channel.markFailed();
}

}  // namespace

ReceiveManager::ReceiveManager(Channel* channel) : channel(channel) {}

ReceiveManager::~ReceiveManager() {
    stop();
    join();
}

void ReceiveManager::start() {
    startReader();
    decoder = std::thread(&ReceiveManager::decode, this);
}

void ReceiveManager::startReader() {
    reader = std::thread(&ReceiveManager::read, this);
}

void ReceiveManager::stop() {
    waker_.stop();
    // Taking the queue's lock orders the stop before the decoder's next test of it.
    { MutexLock lock(queueMutex); }
    queueCv.notifyAll();
}

void ReceiveManager::join() {
    if (reader.joinable()) {
        reader.join();
    }
    if (decoder.joinable()) {
        decoder.join();
    }
}

void ReceiveManager::decode() {
    Heartbeat heartbeat("decoder " + channel->name());
    const BoardBehaviour* board = channel->options().board;
    auto handle = [this, board](const Command& command) {
        if (board != nullptr && board->dispatch) {
            board->dispatch(*channel, command);
        }
    };
    // Wakes for each queued frame, and at least once a period to check in.
    while (true) {
        heartbeat.beat();
        if (std::unique_ptr<Command> command = take(Heartbeat::PERIOD)) {
            handle(*command);
        } else if (!isRunning()) {
            break;
        }
    }
    // Frames that arrived before the stop are still decoded.
    while (std::unique_ptr<Command> command = tryTake()) {
        handle(*command);
    }
}

bool ReceiveManager::pause(std::chrono::milliseconds period) {
    return waker_.pause(period);
}

bool ReceiveManager::waitForInput(short* events) {
    const int stopFd = waker_.pollFd();
    pollfd fds[2] = {{channel->fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    // A channel without a port (-1, in tests) is left out by poll: the reader then only waits
    // for the stop.
    // Bounded, so that a quiet port still lets the reader check in with the watchdog.
    const auto limit = stopFd >= 0 ? Heartbeat::PERIOD : RETRY_PAUSE;
    int ready = ::poll(fds, 2, static_cast<int>(limit.count()));
    if (events != nullptr) {
        *events = ready > 0 ? fds[0].revents : 0;
    }
    return waker_.running();
}

void ReceiveManager::push(std::unique_ptr<Command> command) {
    bool full;
    {
        MutexLock lock(queueMutex);
        full = receiveQueue.size() >= QUEUE_LIMIT;
        if (full) {
            receiveQueue.pop_front();
        }
        receiveQueue.push_back(std::move(command));
    }
    queueCv.notifyOne();
    if (full) {
        // Already acknowledged: the board will not send it again, so it is counted and said.
        channel->counters().framesDropped.fetch_add(1);
        consoleThrottle().print("receive-overflow/" + std::to_string(channel->serial()),
                                "Receive queue full [" + channel->name() +
                                    "]: the decoder fell behind, the oldest frame was dropped");
    }
}

std::unique_ptr<Command> ReceiveManager::tryTake() {
    MutexLock lock(queueMutex);
    if (receiveQueue.empty()) {
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(receiveQueue.front());
    receiveQueue.pop_front();
    return command;
}

std::unique_ptr<Command> ReceiveManager::take(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    MutexLock lock(queueMutex);
    while (receiveQueue.empty() && waker_.running()) {
        if (!queueCv.waitUntil(lock, deadline)) {
            break;
        }
    }
    if (receiveQueue.empty()) {
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(receiveQueue.front());
    receiveQueue.pop_front();
    return command;
}

std::size_t ReceiveManager::queued() const {
    MutexLock lock(queueMutex);
    return receiveQueue.size();
}

void ReceiveManager::handleBytes(const unsigned char* bytes, std::size_t count) {
    Delivery delivery(*this);
    parser.feed(bytes, count, delivery);
}

ReceiveManager::Delivery::Delivery(ReceiveManager& manager)
    : manager(manager),
      capturing(capture::active() != nullptr),
      readAt(capturing ? capture::now() : 0) {}

void ReceiveManager::Delivery::noise(const unsigned char* bytes, std::size_t count) {
    // Counted as soon as the run ends: the figure never lags behind an ACK already on the line.
    manager.channel->counters().garbageBytes.fetch_add(count);
    if (capturing) {
        capture::add(capture::Direction::FromBoard, capture::Kind::Noise, manager.channel->name(),
                     bytes, count, 0, readAt);
    }
}

void ReceiveManager::Delivery::frame(const Command& frame, bool good, const unsigned char* bytes,
                                     std::size_t count) {
    Channel& channel = *manager.channel;
    const capture::Kind kind =
        frame.type == FRAME_ACK ? capture::Kind::AckFrame : capture::Kind::DataFrame;
    if (capturing) {
        capture::add(capture::Direction::FromBoard, kind, channel.name(), bytes, count,
                     good ? 0 : capture::FLAG_CRC_BAD, readAt);
    }
    if (!good) {
        channel.counters().crcFailures.fetch_add(1);
    } else if (frame.type == FRAME_DATA) {
        channel.counters().framesReceived.fetch_add(1);
        // The board sees its ACK before the frame is handed on.
        channel.sendACK(frame.number());
        manager.push(std::make_unique<Command>(frame));
    } else {
        console::out("Ack number: [" + std::to_string(frame.number()) + "]");
        channel.setAckNumber(frame.number());
    }
}

void ReceiveManager::read() {
    Channel& channel = *this->channel;
    Heartbeat heartbeat("reader " + channel.name());
    if (!pause(channel.options().startPause)) {
        return;
    }
    unsigned char bytes[1024];
    bool hungUp = false;
    std::chrono::steady_clock::time_point hungUpSince;
    short events = 0;
    // Reads as soon as bytes arrive: the board's ACK wait and its report's way to the client
    // both start here.
    while (waitForInput(&events)) {
        heartbeat.beat();
        ssize_t count = ::read(channel.fd(), bytes, sizeof bytes);
        const int error = errno;
        if (count > 0) {
            hungUp = false;
            handleBytes(bytes, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && hardReadError(error)) {
            lose(channel, std::strerror(error));
            break;
        }
        // Readable yet nothing read. A quiet board never gets here: its port is not readable.
        // An interrupted wait (a signal) reports no events and is simply repeated.
        if (events & (POLLHUP | POLLERR | POLLNVAL)) {
            const auto now = std::chrono::steady_clock::now();
            if (!hungUp) {
                hungUp = true;
                hungUpSince = now;
            } else if (now - hungUpSince >= HANGUP_LIMIT) {
                lose(channel, "hang-up");
                break;
            }
        } else {
            hungUp = false;
        }
        // Retry at the old polling pace, not in a spin.
        if (!pause(RETRY_PAUSE)) {
            return;
        }
    }
    // A lost port is read no more; the thread waits for the watcher to retire the channel.
    while (pause(Heartbeat::PERIOD)) {
        heartbeat.beat();
    }
}
