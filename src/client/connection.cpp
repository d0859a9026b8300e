#include "client/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "client/liveness.h"

namespace {

constexpr std::size_t RECEIVE_BLOCK = 1024;
// Messages handed to the kernel in one call.
constexpr std::size_t SLICES = 64;

}  // namespace

void Connection::noDelay() {
    int one = 1;
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void Connection::keepAlive(std::chrono::seconds timeout) {
    liveness::keepAlive(fd_.get(), timeout);
}

bool Connection::unanswered(std::chrono::seconds timeout) const {
    return liveness::unanswered(fd_.get(), timeout);
}

Connection::Received Connection::receive(const std::function<void(const std::string&)>& onMessage,
                                         const std::function<void()>& onOversized) {
    char block[RECEIVE_BLOCK];
    const ssize_t count = ::recv(fd_.get(), block, sizeof block, MSG_DONTWAIT);
    if (count == 0) {
        return Received::CLOSED;
    }
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return Received::OPEN;
        }
        error_ = errno;
        return Received::FAILED;
    }
    feed(block, static_cast<std::size_t>(count), onMessage, onOversized);
    return Received::OPEN;
}

void Connection::push(SharedMessage message) {
    queued_ += message->size();
    queue_.push_back(std::move(message));
}

std::string Connection::waiting() const {
    std::string text;
    for (const SharedMessage& message : queue_) {
        text += *message;
    }
    return text.substr(sent_);
}

Connection::Flush Connection::flush() {
    while (!broken_ && pending() > 0) {
        iovec slices[SLICES];
        std::size_t count = 0;
        for (auto it = queue_.begin(); it != queue_.end() && count < SLICES; ++it, ++count) {
            const std::size_t skip = count == 0 ? sent_ : 0;
            slices[count].iov_base = const_cast<char*>((*it)->data() + skip);
            slices[count].iov_len = (*it)->size() - skip;
        }
        msghdr header{};
        header.msg_iov = slices;
        header.msg_iovlen = count;
        // writev's gather with send's flags: never blocks (a peer that stops reading must not
        // stop its server) and never raises SIGPIPE.
        const ssize_t written = ::sendmsg(fd_.get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return Flush::FULL;
            }
            error_ = errno;
            broken_ = true;
            break;
        }
        // Off the front: what went whole, then the part of the next.
        std::size_t left = static_cast<std::size_t>(written);
        while (left > 0) {
            const std::size_t rest = queue_.front()->size() - sent_;
            if (left < rest) {
                sent_ += left;
                break;
            }
            left -= rest;
            queued_ -= queue_.front()->size();
            queue_.pop_front();
            sent_ = 0;
        }
    }
    return broken_ ? Flush::FAILED : Flush::DRAINED;
}
