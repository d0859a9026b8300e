#include "feedclient.h"

#include <linux/filter.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "loopback.h"
#include "testsupport.h"

using testing_support::waitUntil;

namespace fault_e2e {

int connectTo(uint16_t port, int receiveBuffer, const std::string& from) {
    return harness::connectOnce(port, {receiveBuffer, from}).release();
}

FeedClient::FeedClient(uint16_t port, int receiveBuffer, const std::string& from) {
    waitUntil(
        [&] {
            fd_ = connectTo(port, receiveBuffer, from);
            return fd_ >= 0;
        },
        5000ms);
    if (fd_ >= 0) {
        thread_ = std::thread([this] { run(); });
    }
}

FeedClient::~FeedClient() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void FeedClient::send(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

bool FeedClient::dieSilently() {
    paused_.store(true);
    sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    sock_fprog program{1, dropAll};
    return ::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

int FeedClient::unread() const {
    int count = 0;
    return ::ioctl(fd_, FIONREAD, &count) == 0 ? count : -1;
}

void FeedClient::run() {
    std::vector<char> buffer(64 * 1024);
    std::vector<std::string> complete;
    while (!stop_.load()) {
        if (paused_.load() || ended_.load()) {
            std::this_thread::sleep_for(5ms);
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            ended_.store(true);
            continue;
        }
        if (n < 0) {
            continue;
        }
        bytes_ += static_cast<uint64_t>(n);
        complete.clear();
        for (ssize_t i = 0; i < n; ++i) {
            partial_ += buffer[static_cast<std::size_t>(i)];
            if (buffer[static_cast<std::size_t>(i)] == ';') {
                complete.push_back(std::move(partial_));
                partial_.clear();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::string& message : complete) {
            messages_.push_back(std::move(message));
        }
    }
}

std::size_t FeedClient::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

std::vector<std::string> FeedClient::messages(std::size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= messages_.size()) {
        return {};
    }
    return {messages_.begin() + static_cast<std::ptrdiff_t>(from), messages_.end()};
}

std::size_t FeedClient::find(const std::string& message, std::size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = from; i < messages_.size(); ++i) {
        if (messages_[i] == message) {
            return i;
        }
    }
    return std::string::npos;
}

bool FeedClient::waitFor(const std::string& message, std::size_t from,
                         std::chrono::milliseconds timeout) const {
    // Each pass looks only at what arrived since the last one.
    std::size_t scanned = from;
    return waitUntil(
        [&] {
            std::size_t end = size();
            bool found = find(message, scanned) != std::string::npos;
            scanned = std::max(scanned, end);
            return found;
        },
        timeout);
}

std::size_t FeedClient::count(const std::string& key, std::size_t from) const {
    const std::string prefix = key + ":";
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t found = 0;
    for (std::size_t i = from; i < messages_.size(); ++i) {
        if (messages_[i].compare(0, prefix.size(), prefix) == 0) {
            ++found;
        }
    }
    return found;
}

bool FeedClient::waitForCount(const std::string& key, std::size_t n,
                              std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return count(key) >= n; }, timeout);
}

}  // namespace fault_e2e
