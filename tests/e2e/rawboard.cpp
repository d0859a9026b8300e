#include "rawboard.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "protocol/codes.h"
#include "protocol/command.h"

using testing_support::ackFrame;
using testing_support::dataFrame;
using Clock = std::chrono::steady_clock;

namespace fault_e2e {

bool HostFrame::isVersionRequest() const {
    return code() == codes::VERSION && access() == ACCESS_REQUEST;
}

RawBoard::RawBoard(unsigned char device) : device_(device) {
    thread_ = std::thread([this] { run(); });
}

RawBoard::~RawBoard() {
    hangUp();
}

void RawBoard::hangUp() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(writeMutex_);
    pty_.close();
}

bool RawBoard::write(const Bytes& bytes, std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return writeLocked(bytes, timeout);
}

bool RawBoard::writeLocked(const Bytes& bytes, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size() && pty_.master() >= 0) {
        ssize_t n = ::write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        pollfd p{pty_.master(), POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return done == bytes.size();
}

Bytes RawBoard::frame(unsigned char code, const Bytes& payload) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return dataFrame(number_++, code, 1, payload);
}

std::vector<HostFrame> RawBoard::hostFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostFrames_;
}

std::vector<unsigned char> RawBoard::hostAcks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostAcks_;
}

Clock::time_point RawBoard::lastVersion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastVersion_;
}

void RawBoard::sendVersion() {
    write(frame(codes::VERSION, {1, 2, 3, device_}), 200ms);
    std::lock_guard<std::mutex> lock(mutex_);
    lastVersion_ = Clock::now();
    ++versionsSent_;
}

void RawBoard::run() {
    unsigned char buffer[4096];
    while (!stop_.load()) {
        pollfd p{pty_.master(), POLLIN, 0};
        int ready = ::poll(&p, 1, 20);
        if (ready > 0 && (p.revents & POLLIN)) {
            ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n > 0) {
                take(buffer, static_cast<std::size_t>(n), Clock::now());
            }
        } else if (ready > 0) {
            // Hung up: nobody has the port open right now.
            std::this_thread::sleep_for(5ms);
        }
        if (asked_.load() && answering_.load() && Clock::now() - lastVersion() >= 1000ms) {
            sendVersion();
        }
    }
}

void RawBoard::take(const unsigned char* bytes, std::size_t count, Clock::time_point at) {
    pending_.insert(pending_.end(), bytes, bytes + count);
    while (true) {
        auto start = std::find(pending_.begin(), pending_.end(), 0xA5);
        pending_.erase(pending_.begin(), start);
        if (pending_.size() < 3) {
            return;
        }
        if (pending_[1] != 0xA5 || (pending_[2] != 0x0F && pending_[2] != 0x33)) {
            pending_.erase(pending_.begin());
            continue;
        }
        std::size_t size = pending_[2] == 0x33 ? 5 : (pending_.size() >= 7 ? 8u + pending_[6] : 0u);
        if (size == 0 || pending_.size() < size) {
            return;
        }
        Bytes whole(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
        if (whole[2] == 0x33) {
            std::lock_guard<std::mutex> lock(mutex_);
            hostAcks_.push_back(whole[3]);
            continue;
        }
        if (acknowledging_.load()) {
            write(ackFrame(whole[3]), 200ms);
        }
        HostFrame host{std::move(whole), at};
        const bool versionRequest = host.isVersionRequest();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hostFrames_.push_back(std::move(host));
        }
        if (versionRequest && answering_.load()) {
            asked_.store(true);
            sendVersion();
        }
    }
}

Bytes delayPayload(int32_t max) {
    Bytes p(15, 0);
    p[4] = 0xE8;  // total 1000
    p[3] = 0x03;
    p[6] = 10;    // count 10
    p[10] = 100;  // minimum 100
    p[11] = static_cast<unsigned char>(static_cast<uint32_t>(max) >> 24);
    p[12] = static_cast<unsigned char>(static_cast<uint32_t>(max) >> 16);
    p[13] = static_cast<unsigned char>(static_cast<uint32_t>(max) >> 8);
    p[14] = static_cast<unsigned char>(max);
    return p;
}

std::string delayMessage(int32_t max) {
    return "delay_meter:100," + std::to_string(max) + ",100;";
}

std::vector<HostFrame> withoutRetries(const std::vector<HostFrame>& frames) {
    std::vector<HostFrame> once;
    for (const HostFrame& frame : frames) {
        if (once.empty() || once.back().bytes != frame.bytes) {
            once.push_back(frame);
        }
    }
    return once;
}

}  // namespace fault_e2e
