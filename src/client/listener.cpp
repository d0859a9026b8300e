#include "client/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "service/consolethrottle.h"
#include "service/descriptors.h"

namespace {

// Refused peers are each said, a storm of them in its first lines of a minute.
constexpr std::size_t REFUSED_LINES = 20;

}  // namespace

bool Listener::open(const std::string& address, uint16_t port, int backlog) {
    const auto fail = [this](Step step, std::string why) {
        failedStep_ = step;
        failure_ = std::move(why);
        return false;
    };
    // Non-blocking, so that a connection reset before accept() cannot block the loop.
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        return fail(Step::CREATE, std::strerror(errno));
    }
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    bound.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &bound.sin_addr) != 1) {
        return fail(Step::ADDRESS, "invalid address " + address);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) {
        return fail(Step::BIND, std::strerror(errno));
    }
    if (::listen(fd.get(), backlog) != 0) {
        return fail(Step::LISTEN, std::strerror(errno));
    }
    socklen_t length = sizeof bound;
    port_ = port;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port_ = ntohs(bound.sin_port);
    }
    fd_ = std::move(fd);
    return true;
}

Listener::Taken Listener::accept(FileDescriptor& connection, int flags, SpareDescriptor* spare) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    sockaddr* address = reinterpret_cast<sockaddr*>(&peer);
    const int fd = spare != nullptr ? spare->accept(fd_.get(), address, &length, flags)
                                    : ::accept4(fd_.get(), address, &length, flags);
    const int error = errno;
    connection.reset(fd);
    if (!connection.valid()) {
        // A connection reset before its accept is no failure of the listener.
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED) {
            return Taken::NONE;
        }
        // Out of descriptors, for one: said once, then once a minute.
        consoleThrottle().print(lines_.acceptKey, lines_.acceptPrefix + std::strerror(error),
                                console::Stream::ERR);
        resumes_ = std::chrono::steady_clock::now() + RETRY_PAUSE;
        return Taken::FAILED;
    }
    if (allowed_.allows(address, length)) {
        return Taken::CONNECTION;
    }
    // Closed before anything is read: what it sent is discarded by the kernel.
    connection.reset();
    refused_.fetch_add(1);
    consoleThrottle().print(
        lines_.refusedKey,
        lines_.refusedPrefix + AddressFilter::describe(address, length) + ": not allowed",
        console::Stream::OUT, REFUSED_LINES);
    return Taken::REFUSED;
}
