#include "messagestream.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

void MessageStream::feed(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == ';') {
            if (overlong_) {
                ++dropped_;
                overlong_ = false;
            } else {
                complete_.push_back(std::move(partial_));
            }
            partial_.clear();
        } else if (!overlong_) {
            if (partial_.size() >= MAX_MESSAGE) {
                overlong_ = true;
                partial_.clear();
                partial_.shrink_to_fit();
            } else {
                partial_.push_back(bytes[i]);
            }
        }
    }
}

bool MessageStream::next(std::string& message) {
    if (complete_.empty()) {
        return false;
    }
    message = std::move(complete_.front());
    complete_.pop_front();
    return true;
}

bool MessageStream::feedFrom(int fd, std::size_t limit, std::string& reason) {
    char buffer[65536];
    std::size_t taken = 0;
    while (taken < limit) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            reason = n == 0 ? "" : std::strerror(errno);
            return false;
        }
        taken += static_cast<std::size_t>(n);
        feed(buffer, static_cast<std::size_t>(n));
    }
    return true;
}
