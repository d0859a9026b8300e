#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

#include "wait.h"

namespace harness {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

uint16_t freePort() {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (!fd.valid() ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::system_error(errno, std::generic_category(), "no free port");
    }
    return ntohs(address.sin_port);
}

FileDescriptor connectOnce(uint16_t port, const ConnectOptions& options) {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return fd;
    }
    if (!options.from.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, options.from.c_str(), &source.sin_addr) != 1 ||
            ::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            return FileDescriptor();
        }
    }
    if (options.receiveBuffer > 0) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer,
                     sizeof options.receiveBuffer);
    }
    const sockaddr_in address = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return FileDescriptor();
    }
    return fd;
}

FileDescriptor connectLoopback(uint16_t port, std::chrono::milliseconds timeout,
                               std::chrono::milliseconds period, const ConnectOptions& options) {
    FileDescriptor fd;
    waitUntil(
        [&] {
            fd = connectOnce(port, options);
            return fd.valid();
        },
        timeout, period);
    return fd;
}

bool accepts(uint16_t port) {
    return connectOnce(port).valid();
}

}  // namespace harness
