#include "tcpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "channel.h"
#include "shared.h"
#include "tcpcommandparser.h"

namespace {

constexpr std::chrono::milliseconds POLL_PAUSE{10};
constexpr std::chrono::milliseconds ACCEPT_RETRY_PAUSE{100};
constexpr std::size_t RECEIVE_BLOCK = 1024;

}  // namespace

TcpServer::TcpServer(uint16_t port, std::string bindAddress)
    : port_(port),
      bindAddress_(std::move(bindAddress)),
      wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TcpServer::~TcpServer() = default;

bool TcpServer::listen() {
    // Non-blocking, so that a connection reset before accept() cannot block the loop.
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        std::fprintf(stderr, "Cant bind socket: %s\n", std::strerror(errno));
        return false;
    }
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bindAddress_.empty() &&
        ::inet_pton(AF_INET, bindAddress_.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "Cant bind socket: invalid address %s\n", bindAddress_.c_str());
        return false;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "Cant bind socket: %s\n", std::strerror(errno));
        return false;
    }
    if (::listen(fd.get(), 5) != 0) {
        std::fprintf(stderr, "Error listen: %s\n", std::strerror(errno));
        return false;
    }
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
    listenFd = std::move(fd);
    return true;
}

void TcpServer::stop() {
    running.store(false);
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
    (void)ignored;
}

bool TcpServer::pause(std::chrono::milliseconds period) {
    if (running.load()) {
        pollfd wake{wakeFd.get(), POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(period.count()));
    }
    return running.load();
}

void TcpServer::connect() {
    if (!listenFd.valid()) {
        return;
    }
    while (running.load()) {
        std::printf("Waiting for connection...\n");
        FileDescriptor client;
        while (running.load() && !client.valid()) {
            pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {wakeFd.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[0].revents == 0) {
                continue;
            }
            int fd = ::accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC);
            int error = errno;
            client.reset(fd);
            if (fd < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
                // Out of descriptors, for one: wait a little instead of spinning.
                std::fprintf(stderr, "Error accept: %s\n", std::strerror(error));
                pause(ACCEPT_RETRY_PAUSE);
            }
        }
        if (!client.valid()) {
            break;
        }
        serve(client.get());
    }
}

void TcpServer::serve(int client) {
    std::printf("Connection established.\n");
    {
        // What was produced while nobody listened is stale.
        std::lock_guard<std::mutex> lock(tcpMutex);
        commands.clear();
    }
    for (const auto& entry : channelSnapshot()) {
        unsigned char device = entry.second->getDevice();
        if (device != known_devices::UNKNOWN) {
            std::string text = "device_connected:" + std::to_string(device) + ";";
            ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
        }
    }

    framer.clear();
    char block[RECEIVE_BLOCK];
    while (running.load()) {
        ssize_t count = ::recv(client, block, sizeof block, MSG_DONTWAIT);
        if (count == 0) {
            std::fprintf(stderr, "Client crush\n");
            break;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // A reset connection never turns readable again: end it like a close.
            std::fprintf(stderr, "Error recv: %s\n", std::strerror(errno));
            break;
        }
        if (count > 0) {
            try {
                take(block, static_cast<std::size_t>(count));
            } catch (const std::exception&) {
                std::printf("Read Error:%s", std::strerror(errno));
                std::fprintf(stderr, "Error recv\n");
            }
        }
        flush(client);
        if (!pause(POLL_PAUSE)) {
            break;
        }
    }
}

void TcpServer::take(const char* bytes, std::size_t count) {
    framer.feed(bytes, count, [](const std::string& message) {
        // One write, so that the echo stays whole beside other threads' lines, and with
        // every byte of the message (a NUL too).
        std::string echo = "COMMAND: [" + message + "]\n";
        std::fwrite(echo.data(), 1, echo.size(), stdout);
        TcpCommandParser::parse(message);
    });
}

void TcpServer::flush(int client) {
    while (true) {
        std::string text;
        {
            // Taken off the queue at once: when the queue is full a producer drops its
            // oldest message, which must not be a different one from what is sent here.
            std::lock_guard<std::mutex> lock(tcpMutex);
            if (commands.empty()) {
                return;
            }
            text = std::move(commands.front());
            commands.pop_front();
        }
        if (::send(client, text.data(), text.size(), MSG_NOSIGNAL) < 0) {
            std::printf("Write Error:%s\n", std::strerror(errno));
        }
    }
}
