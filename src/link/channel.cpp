#include "link/channel.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "link/receivemanager.h"
#include "link/sendmanager.h"
#include "protocol/command.h"
#include "protocol/crc8.h"
#include "protocol/deviceids.h"
#include "service/consolethrottle.h"

namespace {
std::atomic<uint64_t> nextSerial{0};
}  // namespace

Channel::Channel(FileDescriptor fd, ChannelOptions options, std::string name)
    : fd_(std::move(fd)), options_(options), name_(std::move(name)), serial_(nextSerial++) {
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
        // A pseudo-terminal keeps its exclusive flag past the close while its other side is
        // open: give the port back as it was found. Harmless on anything else.
        if (fd_.valid()) {
            ::ioctl(fd_.get(), TIOCNXCL);
        }
        // Only now may the descriptor number go to a port opened later.
        fd_.reset();
    });
}

void Channel::sendACK(unsigned char number) {
    unsigned char frame[5] = {0xA5, 0xA5, 0x33, number, crcCheck(&number, 1)};
    ssize_t written;
    // Counted before the write (and taken back should it fail): the figure never lags behind
    // an ACK that is already on the line.
    counters_.acksSent.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        written = ::write(fd_.get(), frame, sizeof frame);
    }
    if (written == 5) {
        return;
    }
    counters_.acksSent.fetch_sub(1);
    // A dying port fails every ACK: once, then a count a minute.
    consoleThrottle().print(
        "ack-write/" + std::to_string(serial_),
        "Bytes written does not match to ack size: " + std::to_string(written) + " != 5");
}

std::string Channel::countersLine() const {
    const ChannelCounters& c = counters_;
    return "Counters [" + name_ + "]: frames " + std::to_string(c.framesReceived.load()) +
           ", crc failures " + std::to_string(c.crcFailures.load()) + ", garbage bytes " +
           std::to_string(c.garbageBytes.load()) + ", acks sent " +
           std::to_string(c.acksSent.load()) + ", commands sent " +
           std::to_string(c.commandsSent.load()) + ", retries " + std::to_string(c.retries.load()) +
           ", dropped " + std::to_string(c.dropped.load()) + ", timeouts " +
           std::to_string(c.timeouts.load());
}

long Channel::sendCommand(const Command& command) {
    std::lock_guard<std::mutex> lock(writeMutex);
    return ::write(fd_.get(), command.buffer, command.size());
}

void Channel::setDevice(unsigned char id) {
    Identity current = identity_.load();
    while (!identity_.compare_exchange_weak(current, (current & ~Identity{0xFF}) | id)) {
    }
    sendManager->wake();
}

void Channel::setDefined(bool value) {
    Identity current = identity_.load();
    Identity next;
    do {
        next = value ? (current | DEFINED_BIT) + GENERATION_STEP : current & ~DEFINED_BIT;
    } while (!identity_.compare_exchange_weak(current, next));
    sendManager->wake();
}

bool Channel::identify(unsigned char id) {
    Identity current = identity_.load();
    do {
        if (definedIn(current)) {
            return false;
        }
    } while (!identity_.compare_exchange_weak(
        current, ((current & ~Identity{0xFF}) | DEFINED_BIT | id) + GENERATION_STEP));
    sendManager->wake();
    return true;
}

bool Channel::resetIdentity(Identity seen) {
    // The generation stays: a later identification is told apart from the one seen here.
    const Identity reset = (seen & ~(DEFINED_BIT | Identity{0xFF})) | known_devices::UNKNOWN;
    if (!identity_.compare_exchange_strong(seen, reset)) {
        return false;
    }
    sendManager->wake();
    return true;
}

void Channel::setAckNumber(unsigned char number) {
    ackNumber.store(number);
    sendManager->ackChanged();
}
