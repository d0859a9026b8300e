#include "receivemanager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "channel.h"
#include "command.h"
#include "decoder.h"

namespace {

// How often the reader retries a port that reports an error or a hang-up, and how often it
// looks at the run flag should the stop eventfd be missing (no descriptor left for it).
constexpr std::chrono::milliseconds RETRY_PAUSE{2};

}  // namespace

ReceiveManager::ReceiveManager(Channel* channel)
    : channel(channel),
      current(std::make_unique<Command>()),
      stopEvent(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ReceiveManager::~ReceiveManager() {
    stop();
    join();
}

void ReceiveManager::start() {
    startReader();
    decoder = std::thread(thread_parser, this);
}

void ReceiveManager::startReader() {
    reader = std::thread(thread_func, this);
}

void ReceiveManager::stop() {
    {
        // Taking each lock orders the flag's change before the wait's test of it.
        std::lock_guard<std::mutex> pauseLock(pauseMutex);
        std::lock_guard<std::mutex> queueLock(queueMutex);
        running.store(false);
    }
    pauseCv.notify_all();
    queueCv.notify_all();
    uint64_t one = 1;
    ssize_t ignored = ::write(stopEvent.get(), &one, sizeof one);
    (void)ignored;
}

void ReceiveManager::join() {
    if (reader.joinable()) {
        reader.join();
    }
    if (decoder.joinable()) {
        decoder.join();
    }
}

bool ReceiveManager::pause(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(pauseMutex);
    pauseCv.wait_for(lock, period, [this] { return !running.load(); });
    return running.load();
}

bool ReceiveManager::waitForInput() {
    pollfd fds[2] = {{channel->fd(), POLLIN, 0}, {stopEvent.get(), POLLIN, 0}};
    // A port that failed to open (-1) is left out by poll: the reader then only waits for
    // the stop.
    ::poll(fds, 2, stopEvent.valid() ? -1 : static_cast<int>(RETRY_PAUSE.count()));
    return running.load();
}

void ReceiveManager::push(std::unique_ptr<Command> command) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        receiveQueue.push_back(std::move(command));
    }
    queueCv.notify_one();
}

std::unique_ptr<Command> ReceiveManager::tryTake() {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (receiveQueue.empty()) {
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(receiveQueue.front());
    receiveQueue.pop_front();
    return command;
}

std::unique_ptr<Command> ReceiveManager::take(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(queueMutex);
    queueCv.wait_for(lock, wait, [this] { return !receiveQueue.empty() || !running.load(); });
    if (receiveQueue.empty()) {
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(receiveQueue.front());
    receiveQueue.pop_front();
    return command;
}

std::unique_ptr<Command> ReceiveManager::take() {
    std::unique_lock<std::mutex> lock(queueMutex);
    queueCv.wait(lock, [this] { return !receiveQueue.empty() || !running.load(); });
    if (receiveQueue.empty()) {
        return nullptr;
    }
    std::unique_ptr<Command> command = std::move(receiveQueue.front());
    receiveQueue.pop_front();
    return command;
}

std::size_t ReceiveManager::queued() const {
    std::lock_guard<std::mutex> lock(queueMutex);
    return receiveQueue.size();
}

void ReceiveManager::handleBytes(const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        current->slotNewByte(bytes[i]);
        if (current->isValid() && current->type == FRAME_DATA) {
            // The board sees its ACK before the frame is handed on.
            channel->sendACK(current->number());
            push(std::move(current));
            current = std::make_unique<Command>();
        } else if (current->isValid() && current->type == FRAME_ACK) {
            std::printf("Ack number: [%i]\n", current->number());
            channel->setAckNumber(current->number());
            current->reset();
        } else if (current->isCorrupted()) {
            current->reset();
        }
    }
}

void thread_func(ReceiveManager* manager) {
    if (!manager->pause(manager->channel->options().startPause)) {
        return;
    }
    unsigned char bytes[1024];
    // Reads as soon as bytes arrive: the board's ACK wait and its report's way to the client
    // both start here.
    while (manager->waitForInput()) {
        ssize_t count = ::read(manager->channel->fd(), bytes, sizeof bytes);
        if (count > 0) {
            manager->handleBytes(bytes, static_cast<std::size_t>(count));
        } else if (!manager->pause(RETRY_PAUSE)) {
            // Readable yet nothing read: the port has failed or hung up, and stays so until
            // the watcher retires the channel. Retry at the old polling pace, not in a spin.
            break;
        }
    }
}
