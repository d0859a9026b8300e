#include "clientconnection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

bool ClientConnection::connect(const std::string& host, uint16_t port,
                               std::chrono::milliseconds timeout, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(status);
        return false;
    }
    for (;;) {
        for (addrinfo* address = found; address; address = address->ai_next) {
            FileDescriptor fd(::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, 0));
            if (fd.valid() && ::connect(fd.get(), address->ai_addr, address->ai_addrlen) == 0) {
                fd_ = std::move(fd);
                ::freeaddrinfo(found);
                return true;
            }
            error = "cannot connect to " + host + ":" + std::to_string(port) + ": " +
                    std::strerror(errno);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::freeaddrinfo(found);
            return false;
        }
        // The daemon may not be listening yet.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool ClientConnection::sendAll(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd_.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t ClientConnection::receive(char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::recv(fd_.get(), buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

void ClientConnection::finish(std::chrono::milliseconds timeout) {
    ::shutdown(fd_.get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{fd_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0 ||
            receive(buffer, sizeof buffer) <= 0) {
            break;
        }
    }
    fd_.reset();
}
