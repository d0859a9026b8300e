#include "channel.h"

#include <unistd.h>

#include <cstdio>

#include "command.h"
#include "crc8.h"
#include "receivemanager.h"
#include "sendmanager.h"

Channel::Channel(FileDescriptor fd, ChannelOptions options)
    : fd_(std::move(fd)), options_(options) {
    receiveManager = std::make_unique<ReceiveManager>(this);
    sendManager = std::make_unique<SendManager>(this);
    if (options_.startThreads) {
        receiveManager->start();
        sendManager->start();
    }
}

Channel::~Channel() {
    retire();
}

void Channel::stopReceiveManager() {
    receiveManager->stop();
}

void Channel::stopSendManager() {
    sendManager->stop();
}

void Channel::retire() {
    std::call_once(retired_, [this] {
        stopReceiveManager();
        stopSendManager();
        receiveManager->join();
        sendManager->join();
        // Only now may the descriptor number go to a port opened later.
        fd_.reset();
    });
}

void Channel::sendACK(unsigned char number) {
    unsigned char frame[5] = {0xA5, 0xA5, 0x33, number, crcCheck(&number, 1)};
    ssize_t written;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        written = ::write(fd_.get(), frame, sizeof frame);
    }
    if (written != 5) {
        std::printf("Bytes written does not match to ack size: %i != 5\n",
                    static_cast<int>(written));
    }
}

long Channel::sendCommand(const Command& command) {
    std::lock_guard<std::mutex> lock(writeMutex);
    return ::write(fd_.get(), command.buffer, command.size());
}

void Channel::setDevice(unsigned char id) {
    device.store(id);
    sendManager->wake();
}

void Channel::setDefined(bool value) {
    defined.store(value);
    sendManager->wake();
}

void Channel::setAckNumber(unsigned char number) {
    ackNumber.store(number);
    sendManager->ackChanged();
}
