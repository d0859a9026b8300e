#include "tcpclient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <stdexcept>

#include "loopback.h"
#include "wait.h"

namespace harness {

bool sendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

TcpClient::TcpClient(uint16_t port, std::chrono::milliseconds timeout)
    : fd_(connectLoopback(port, timeout)) {}

void TcpClient::send(const std::string& text) const {
    sendAll(fd_.get(), text);
}

void TcpClient::drain(std::chrono::milliseconds wait) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
        return;
    }
    char buffer[4096];
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        received_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool TcpClient::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            drain(5ms);
            return received_.find(text) != std::string::npos;
        },
        timeout);
}

const std::string& TcpClient::received() {
    drain(0ms);
    return received_;
}

StampedClient::StampedClient(uint16_t port, std::chrono::milliseconds timeout)
    : fd_(connectLoopback(port, timeout, 20ms)) {
    if (!fd_.valid()) {
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    int one = 1;
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    thread_ = std::thread([this] { run(); });
}

StampedClient::~StampedClient() {
    stop_.store(true);
    thread_.join();
}

StampedClient::Clock::time_point StampedClient::send(const std::string& text) {
    if (!sendAll(fd_.get(), text)) {
        throw std::runtime_error("send failed");
    }
    return Clock::now();
}

std::size_t StampedClient::messageCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

std::size_t StampedClient::countStartingWith(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(messages_.begin(), messages_.end(),
                      [&](const Message& m) { return m.text.rfind(prefix, 0) == 0; }));
}

std::size_t StampedClient::byteCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

bool StampedClient::waitForMessage(const std::string& text, std::size_t from,
                                   Clock::time_point deadline, Clock::time_point& at) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
        for (std::size_t i = from; i < messages_.size(); ++i) {
            if (messages_[i].text == text) {
                at = messages_[i].at;
                return true;
            }
        }
        return false;
    });
}

bool StampedClient::waitForBytes(std::size_t count, Clock::time_point deadline,
                                 Clock::time_point& at) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool reached = changed_.wait_until(lock, deadline, [&] { return bytes_ >= count; });
    at = lastChunkAt_;
    return reached;
}

void StampedClient::run() {
    char buffer[4096];
    std::string partial;
    while (!stop_.load()) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const Clock::time_point at = Clock::now();
        ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) {
            if (n == 0) {
                return;
            }
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ += static_cast<std::size_t>(n);
        lastChunkAt_ = at;
        for (ssize_t i = 0; i < n; ++i) {
            partial += buffer[i];
            if (buffer[i] == ';') {
                messages_.push_back({partial, at});
                partial.clear();
            }
        }
        changed_.notify_all();
    }
}

}  // namespace harness
