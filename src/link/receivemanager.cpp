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

ReceiveManager::ReceiveManager(Channel* channel)
    : channel(channel), current(std::make_unique<Command>()) {}

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
    ChannelCounters& counters = channel->counters();
    // Skipped bytes are added up per read, and before each ACK: the figures never lag behind
    // an ACK that is already on the line.
    uint64_t garbage = 0;
    auto countGarbage = [&] {
        if (garbage > 0) {
            counters.garbageBytes.fetch_add(garbage);
            garbage = 0;
        }
    };
    // While capturing, every byte read goes to exactly one record, in order: a frame from its
    // start bytes to its CRC, or a run of skipped bytes.
    const bool capturing = capture::active() != nullptr;
    const std::int64_t readAt = capturing ? capture::now() : 0;
    auto recordNoise = [&] {
        if (!captureNoise.empty()) {
            capture::add(capture::Direction::FromBoard, capture::Kind::Noise, channel->name(),
                         captureNoise.data(), captureNoise.size(), 0, readAt);
            captureNoise.clear();
        }
    };
    auto recordFrame = [&](capture::Kind kind, std::uint8_t flags) {
        if (capturing) {
            capture::add(capture::Direction::FromBoard, kind, channel->name(), captureFrame.data(),
                         captureFrame.size(), flags, readAt);
            captureFrame.clear();
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        const bool hunting = current->state == WAIT_START;
        const int held = heldStart;
        current->slotNewByte(byte);
        if (hunting) {
            // A frame starts with A5 A5 and its kind: up to two A5 are held back until the
            // next byte shows whether they began a frame; everything else here is skipped.
            if (current->state != WAIT_START) {
                heldStart = 0;
                if (capturing) {
                    recordNoise();
                    captureFrame.assign(static_cast<std::size_t>(held), FRAME_START);
                    captureFrame.push_back(byte);
                }
            } else if (byte == FRAME_START) {
                if (heldStart == 2) {
                    ++garbage;
                    if (capturing) {
                        captureNoise.push_back(FRAME_START);
                    }
                } else {
                    ++heldStart;
                }
            } else {
                garbage += static_cast<uint64_t>(heldStart) + 1;
                heldStart = 0;
                if (capturing) {
                    captureNoise.insert(captureNoise.end(), static_cast<std::size_t>(held),
                                        FRAME_START);
                    captureNoise.push_back(byte);
                }
            }
        } else if (capturing) {
            captureFrame.push_back(byte);
        }
        if (current->isValid() && current->type == FRAME_DATA) {
            countGarbage();
            counters.framesReceived.fetch_add(1);
            recordFrame(capture::Kind::DataFrame, 0);
            // The board sees its ACK before the frame is handed on.
            channel->sendACK(current->number());
            push(std::move(current));
            current = std::make_unique<Command>();
        } else if (current->isValid() && current->type == FRAME_ACK) {
            recordFrame(capture::Kind::AckFrame, 0);
            console::out("Ack number: [" + std::to_string(current->number()) + "]");
            channel->setAckNumber(current->number());
            current->reset();
        } else if (current->isCorrupted()) {
            recordFrame(
                current->type == FRAME_ACK ? capture::Kind::AckFrame : capture::Kind::DataFrame,
                capture::FLAG_CRC_BAD);
            counters.crcFailures.fetch_add(1);
            current->reset();
        }
    }
    countGarbage();
    if (capturing) {
        recordNoise();
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
