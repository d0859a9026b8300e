#include "link/channel.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>

#include "capture/recorder.h"
#include "link/receivemanager.h"
#include "link/sendmanager.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/consolethrottle.h"

namespace {
std::atomic<uint64_t> nextSerial{0};

// How long a frame that the port took only in part may wait for room for the rest. At 115200
// baud this drains a whole frame of the largest size from a full output buffer; a port that
// stays full longer is stuck, and the writer (the reader's ACKs wait on writeMutex) moves on.
constexpr std::chrono::milliseconds FINISH_LIMIT{20};
// The USB serial adapter's latency timer (how long it holds bytes before sending them on), as
// ", latency timer 16 ms"; empty where there is none (pseudo-terminals, built-in ports).
std::string latencyTimer(const std::string& name) {
    std::ifstream file("/sys/bus/usb-serial/devices/" + name + "/latency_timer");
    long milliseconds = 0;
    if (name.empty() || !(file >> milliseconds)) {
        return "";
    }
    return ", latency timer " + std::to_string(milliseconds) + " ms";
}

}  // namespace

Channel::Channel(FileDescriptor fd, ChannelOptions options, std::string name)
    : fd_(std::move(fd)), options_(options), name_(std::move(name)), serial_(nextSerial++) {
    if (fd_.valid()) {
        capture::add(capture::Direction::Daemon, capture::Kind::PortOpened, name_, nullptr, 0);
    }
    receiveManager = std::make_unique<ReceiveManager>(this);
    sendManager = std::make_unique<SendManager>(this);
    if (!options_.startThreads) {
        return;
    }
    try {
        receiveManager->start();
        if (options_.beforeSenderStart != nullptr) {
            options_.beforeSenderStart();
        }
        sendManager->start();
    } catch (...) {
        // The members go next, the descriptor first: no thread of this channel may outlive
        // the constructor that failed.
        stopReceiveManager();
        stopSendManager();
        receiveManager->join();
        sendManager->join();
        throw;
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
        if (fd_.valid()) {
            fd_.reset();
            capture::add(capture::Direction::Daemon, capture::Kind::PortClosed, name_, nullptr, 0);
        }
    });
}

void Channel::sendACK(unsigned char number) {
    const Command ack = Command::makeAck(number);
    // Counted before the write (and taken back should it fail): the figure never lags behind
    // an ACK that is already on the line.
    counters_.acksSent.fetch_add(1);
    const long written = writeFrame(ack.buffer, ack.size());
    if (written == static_cast<long>(ack.size())) {
        return;
    }
    counters_.acksSent.fetch_sub(1);
    // A dying port fails every ACK: once, then a count a minute.
    consoleThrottle().print(
        "ack-write/" + std::to_string(serial_),
        "Bytes written does not match to ack size: " + std::to_string(written) + " != 5");
}

std::vector<std::pair<const char*, uint64_t>> Channel::counterFigures() const {
    const ChannelCounters& c = counters_;
    return {{"frames", c.framesReceived.load()},
            {"crc failures", c.crcFailures.load()},
            {"garbage bytes", c.garbageBytes.load()},
            {"acks sent", c.acksSent.load()},
            {"commands sent", c.commandsSent.load()},
            {"retries", c.retries.load()},
            {"dropped", c.dropped.load()},
            {"timeouts", c.timeouts.load()},
            {"overflow", c.overflow.load()},
            {"superseded", c.superseded.load()},
            {"write failures", c.writeFailures.load()},
            {"frames dropped", c.framesDropped.load()}};
}

std::string Channel::countersLine() const {
    std::string line = "Counters [" + name_ + "]: ";
    const char* separator = "";
    for (const auto& figure : counterFigures()) {
        line += separator;
        line += figure.first;
        line += " " + std::to_string(figure.second);
        separator = ", ";
    }
    return line + latencyTimer(name_);
}

long Channel::sendCommand(const Command& command) {
    return writeFrame(command.buffer, command.size());
}

long Channel::writeFrame(const unsigned char* bytes, std::size_t size) {
    using Clock = std::chrono::steady_clock;
    std::size_t done = 0;
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        const Clock::time_point deadline = Clock::now() + FINISH_LIMIT;
        // A frame is finished or given up here, under the lock: half a frame never has an
        // ACK or another frame written into its middle.
        while (done < size) {
            const ssize_t n = ::write(fd_.get(), bytes + done, size - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                break;  // the port is gone or refuses writes: no waiting helps
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd port{fd_.get(), POLLOUT, 0};
            if (::poll(&port, 1, static_cast<int>(std::max<long>(left.count(), 1))) < 0 &&
                errno != EINTR) {
                break;
            }
        }
        // Recorded under the lock, so that a port's records keep the order of its writes.
        if (done > 0 && capture::active() != nullptr) {
            capture::add(capture::Direction::ToBoard,
                         size > 2 && bytes[2] == FRAME_KIND_ACK ? capture::Kind::AckFrame
                                                                : capture::Kind::DataFrame,
                         name_, bytes, done);
        }
    }
    if (done == size) {
        return static_cast<long>(done);
    }
    // The board sees nothing, or a fragment that its parser drops by its checksum; the
    // sender's next try (or the board's resend, for an ACK) covers it.
    counters_.writeFailures.fetch_add(1);
    return done > 0 ? static_cast<long>(done) : -1;
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
