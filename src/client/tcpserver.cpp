#include "client/tcpserver.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "capture/recorder.h"
#include "client/liveness.h"
#include "client/tcpcommandparser.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/descriptors.h"
#include "service/heartbeat.h"
#include "service/outbox.h"

namespace {

// How often the queue is looked at should the message wake-up be missing.
constexpr std::chrono::milliseconds POLL_PAUSE{10};
constexpr std::chrono::milliseconds ACCEPT_RETRY_PAUSE{100};
// How often the client is checked for an answer to the data waiting for it.
constexpr std::chrono::milliseconds ANSWER_CHECK{1000};
constexpr std::size_t RECEIVE_BLOCK = 1024;
// Allowed connections held while a client is served; more wait in the kernel's backlog, as
// every connection did before its turn.
constexpr std::size_t WAITING_LIMIT = 8;
constexpr std::size_t TAKEN_PER_PASS = 64;
// A client's comings and goings are each said; a storm of connections is said in its first
// lines of a minute and then counted.
constexpr std::size_t CONNECTION_LINES = 20;

// One message bound for the client (with its ";"), when capture is on.
void captureOutgoing(const std::string& message) {
    if (capture::active() == nullptr) {
        return;
    }
    std::size_t size = message.size();
    if (size > 0 && message[size - 1] == ';') {
        --size;
    }
    capture::add(capture::Direction::ToClient, capture::Kind::Text, "", message.data(), size);
}

void setOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

TcpServer::TcpServer(uint16_t port, std::string bindAddress)
    : port_(port), bindAddress_(std::move(bindAddress)) {}

TcpServer::~TcpServer() = default;

bool TcpServer::listen() {
    // Non-blocking, so that a connection reset before accept() cannot block the loop.
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        console::err(std::string("Cant bind socket: ") + std::strerror(errno));
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
        console::err("Cant bind socket: invalid address " + bindAddress_);
        return false;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        console::err(std::string("Cant bind socket: ") + std::strerror(errno));
        return false;
    }
    if (::listen(fd.get(), 5) != 0) {
        console::err(std::string("Error listen: ") + std::strerror(errno));
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
    waker_.stop();
}

void TcpServer::close() {
    listenFd.reset();
    waiting_.clear();
}

bool TcpServer::pause(std::chrono::milliseconds period) {
    return waker_.pause(period);
}

void TcpServer::connect() {
    if (!listenFd.valid()) {
        return;
    }
    Heartbeat heartbeat("server");
    while (waker_.running()) {
        consoleThrottle().print("client-waiting", "Waiting for connection...", console::Stream::OUT,
                                CONNECTION_LINES);
        FileDescriptor client;
        if (!waiting_.empty()) {
            client = std::move(waiting_.front());
            waiting_.pop_front();
        }
        while (waker_.running() && !client.valid()) {
            heartbeat.beat();
            // Given up for the last client when the process was out of descriptors.
            spare_.replenish();
            pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {waker_.pollFd(), POLLIN, 0}};
            // Bounded, so that the loop checks in with the watchdog while nobody connects.
            const int limit = static_cast<int>(Heartbeat::PERIOD.count());
            if (::poll(fds, 2, limit) <= 0 || fds[0].revents == 0) {
                continue;
            }
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            int fd = spare_.accept(listenFd.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                                   SOCK_CLOEXEC);
            int error = errno;
            client.reset(fd);
            if (client.valid() && !admit(client, peer, peerLength)) {
                continue;
            }
            // A connection reset before its accept is no failure, as while a client is served.
            if (fd < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR &&
                error != ECONNABORTED) {
                // Out of descriptors, for one: wait a little instead of spinning, and say so
                // once, then once a minute.
                consoleThrottle().print("accept",
                                        std::string("Error accept: ") + std::strerror(error),
                                        console::Stream::ERR);
                pause(ACCEPT_RETRY_PAUSE);
            }
        }
        if (!client.valid()) {
            break;
        }
        if (clientHook) {
            clientHook(true);
        }
        serve(client.get(), heartbeat);
        setClientAddress("");
        if (clientHook) {
            clientHook(false);
        }
    }
}

std::string TcpServer::clientAddress() const {
    MutexLock lock(clientAddressMutex_);
    return clientAddress_;
}

void TcpServer::setClientAddress(std::string address) {
    MutexLock lock(clientAddressMutex_);
    clientAddress_ = std::move(address);
}

bool TcpServer::admit(FileDescriptor& connection, const sockaddr_storage& peer, socklen_t length) {
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&peer);
    if (allowed_.allows(address, length)) {
        return true;
    }
    // Closed before anything is read: what it sent is discarded by the kernel.
    connection.reset();
    refused_.fetch_add(1);
    consoleThrottle().print(
        "client-refused",
        "Refused client from " + AddressFilter::describe(address, length) + ": not allowed",
        console::Stream::OUT, CONNECTION_LINES);
    return false;
}

void TcpServer::takeWaiting() {
    // Bounded, so that a flood of refused connections still leaves the client its turn.
    for (std::size_t taken = 0; taken < TAKEN_PER_PASS && waiting_.size() < WAITING_LIMIT;
         ++taken) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        FileDescriptor connection(::accept4(listenFd.get(), reinterpret_cast<sockaddr*>(&peer),
                                            &peerLength, SOCK_CLOEXEC));
        if (!connection.valid()) {
            const int error = errno;
            if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR &&
                error != ECONNABORTED) {
                consoleThrottle().print("accept",
                                        std::string("Error accept: ") + std::strerror(error),
                                        console::Stream::ERR);
                acceptPausedUntil_ = std::chrono::steady_clock::now() + ACCEPT_RETRY_PAUSE;
            }
            return;
        }
        if (admit(connection, peer, peerLength)) {
            waiting_.push_back(std::move(connection));
        }
    }
}

void TcpServer::serve(int client, Heartbeat& heartbeat) {
    consoleThrottle().print("client-established", "Connection established.", console::Stream::OUT,
                            CONNECTION_LINES);
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    char host[INET_ADDRSTRLEN] = "";
    if (::getpeername(client, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
        ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host) != nullptr) {
        setClientAddress(std::string(host) + ":" + std::to_string(ntohs(peer.sin_port)));
    }
    // What was produced while nobody listened is stale.
    clearMessages();
    // Nor does the new client get the rest of a message that the last one left half read.
    outgoing.clear();
    outgoingSent = 0;
    // Each message goes out at once instead of waiting for the client's ACK of the last one.
    setOption(client, IPPROTO_TCP, TCP_NODELAY, 1);
    keepAlive(client);
    for (const auto& entry : channelSnapshot()) {
        unsigned char device = entry.second->getDevice();
        if (device != known_devices::UNKNOWN) {
            std::string text = "device_connected:" + std::to_string(device) + ";";
            captureOutgoing(text);
            ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
        }
    }

    framer.clear();
    char block[RECEIVE_BLOCK];
    const int messageWake = messageWakeFd();
    bool clientFull = false;
    auto nextAnswerCheck = std::chrono::steady_clock::now() + ANSWER_CHECK;
    while (waker_.running()) {
        heartbeat.beat();
        // The client's text, a queued message and stop() each end the wait. While the client's
        // socket is full the queue waits for room instead.
        // The listening socket too, while a filter may refuse what waits there: a refused
        // connection is closed at once, not when this client has gone.
        const bool listening = !allowed_.empty() && waiting_.size() < WAITING_LIMIT &&
                               std::chrono::steady_clock::now() >= acceptPausedUntil_;
        pollfd fds[4] = {{client, static_cast<short>(POLLIN | (clientFull ? POLLOUT : 0)), 0},
                         {waker_.pollFd(), POLLIN, 0},
                         {clientFull ? -1 : messageWake, POLLIN, 0},
                         {listening ? listenFd.get() : -1, POLLIN, 0}};
        // A client whose machine or cable died is looked for once a second, not on every
        // message's way out.
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextAnswerCheck) {
            nextAnswerCheck = now + ANSWER_CHECK;
            if (unanswered(client)) {
                // The slot goes to the next client.
                console::err(std::string("Error recv: ") + std::strerror(ETIMEDOUT));
                break;
            }
        }
        const auto untilCheck =
            std::chrono::ceil<std::chrono::milliseconds>(nextAnswerCheck - now).count();
        int timeout = static_cast<int>(
            messageWake >= 0 ? untilCheck : std::min<long>(untilCheck, POLL_PAUSE.count()));
        // A failed poll (interrupted) is a pass with nothing ready.
        ::poll(fds, 4, timeout);
        if (!waker_.running()) {
            break;
        }
        if (fds[3].revents != 0) {
            takeWaiting();
        }
        if (fds[2].revents != 0) {
            // Read empty before the queue is taken, so no message is left unsignalled.
            clearMessageWake();
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!receive(client, block, sizeof block)) {
                break;
            }
        }
        Flush flushed = flush(client);
        if (flushed == Flush::FAILED) {
            break;
        }
        clientFull = flushed == Flush::FULL;
    }
}

void TcpServer::keepAlive(int client) const {
    liveness::keepAlive(client, clientTimeout_);
}

bool TcpServer::unanswered(int client) const {
    return liveness::unanswered(client, clientTimeout_);
}

bool TcpServer::receive(int client, char* block, std::size_t size) {
    ssize_t count = ::recv(client, block, size, MSG_DONTWAIT);
    if (count == 0) {
        consoleThrottle().print("client-crush", "Client crush", console::Stream::ERR,
                                CONNECTION_LINES);
        return false;
    }
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // A reset connection never turns readable again: end it like a close, and say it as
        // a close is said.
        if (errno == ECONNRESET) {
            consoleThrottle().print("client-crush", "Client crush", console::Stream::ERR,
                                    CONNECTION_LINES);
        } else {
            console::err(std::string("Error recv: ") + std::strerror(errno));
        }
        return false;
    }
    if (count > 0) {
        try {
            take(block, static_cast<std::size_t>(count));
        } catch (const std::exception&) {
            console::out(std::string("Read Error:") + std::strerror(errno));
            console::err("Error recv");
        }
    }
    return true;
}

void TcpServer::take(const char* bytes, std::size_t count) {
    framer.feed(bytes, count, [](const std::string& message) {
        capture::add(capture::Direction::FromClient, capture::Kind::Text, "", message.data(),
                     message.size());
        // Escaped: a line break in the client's text must not forge console or journal lines.
        console::out("COMMAND: [" + console::escaped(message) + "]");
        TcpCommandParser::parse(message);
    });
}

TcpServer::Flush TcpServer::flush(int client) {
    while (true) {
        if (outgoing.empty()) {
            // Taken off the queue at once: when the queue is full a producer drops its
            // oldest message, which must not be a different one from what is sent here.
            if (!takeMessage(outgoing)) {
                return Flush::DRAINED;
            }
            captureOutgoing(outgoing);
            outgoingSent = 0;
        }
        // Never blocks: a client that stops reading must not stop the server, and with it the
        // parser, as a blocking send would.
        ssize_t sent = ::send(client, outgoing.data() + outgoingSent,
                              outgoing.size() - outgoingSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return Flush::FULL;
            }
            if (errno == EINTR) {
                continue;
            }
            // The connection is broken (reset, timed out): it ends as a close does, instead of
            // failing every queued message in turn. The message is dropped.
            consoleThrottle().print("client-write",
                                    std::string("Write Error:") + std::strerror(errno));
            outgoing.clear();
            outgoingSent = 0;
            return Flush::FAILED;
        }
        outgoingSent += static_cast<std::size_t>(sent);
        if (outgoingSent >= outgoing.size()) {
            outgoing.clear();
            outgoingSent = 0;
        }
    }
}
