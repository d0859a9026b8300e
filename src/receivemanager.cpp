#include "receivemanager.h"

#include <unistd.h>

#include <cstdio>

#include "channel.h"
#include "command.h"
#include "decoder.h"

ReceiveManager::ReceiveManager(Channel* channel)
    : channel(channel), current(std::make_unique<Command>()) {}

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
    while (manager->isRunning()) {
        if (!manager->pause(std::chrono::milliseconds(2))) {
            break;
        }
        ssize_t count = ::read(manager->channel->fd(), bytes, sizeof bytes);
        if (count > 0) {
            manager->handleBytes(bytes, static_cast<std::size_t>(count));
        }
    }
}
