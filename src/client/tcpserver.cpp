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
#include "client/tcpcommandparser.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"
#include "service/clientmessage.h"
#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/descriptors.h"
#include "service/heartbeat.h"
#include "service/outbox.h"

namespace {

// How often the queue is looked at should the message wake-up be missing.
constexpr std::chrono::milliseconds POLL_PAUSE{10};
// How often the client is checked for an answer to the data waiting for it.
constexpr std::chrono::milliseconds ANSWER_CHECK{1000};
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

}  // namespace

TcpServer::TcpServer(uint16_t port, std::string bindAddress)
    : port_(port),
      bindAddress_(std::move(bindAddress)),
      listener_({"client-refused", "Refused client from ", "accept", "Error accept: "}) {}

TcpServer::~TcpServer() = default;

bool TcpServer::listen() {
    if (!listener_.open(bindAddress_, port_, 5)) {
        const bool listening = listener_.failedStep() == Listener::Step::LISTEN;
        console::err((listening ? "Error listen: " : "Cant bind socket: ") + listener_.failure());
        return false;
    }
    port_ = listener_.port();
    return true;
}

void TcpServer::stop() {
    waker_.stop();
}

void TcpServer::close() {
    listener_.close();
    waiting_.clear();
}

bool TcpServer::pause(std::chrono::milliseconds period) {
    return waker_.pause(period);
}

void TcpServer::connect() {
    if (!listener_.valid()) {
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
            pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {waker_.pollFd(), POLLIN, 0}};
            // Bounded, so that the loop checks in with the watchdog while nobody connects.
            const int limit = static_cast<int>(Heartbeat::PERIOD.count());
            if (::poll(fds, 2, limit) <= 0 || fds[0].revents == 0) {
                continue;
            }
            if (listener_.accept(client, SOCK_CLOEXEC, &spare_) == Listener::Taken::FAILED) {
                // Out of descriptors, for one: wait a little instead of spinning.
                pause(Listener::RETRY_PAUSE);
            }
        }
        if (!client.valid()) {
            break;
        }
        if (clientHook) {
            clientHook(true);
        }
        Connection connection(std::move(client));
        serve(connection, heartbeat);
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

void TcpServer::takeWaiting() {
    // Bounded, so that a flood of refused connections still leaves the client its turn.
    for (std::size_t taken = 0; taken < TAKEN_PER_PASS && waiting_.size() < WAITING_LIMIT;
         ++taken) {
        FileDescriptor connection;
        const Listener::Taken outcome = listener_.accept(connection, SOCK_CLOEXEC);
        if (outcome == Listener::Taken::CONNECTION) {
            waiting_.push_back(std::move(connection));
        } else if (outcome != Listener::Taken::REFUSED) {
            return;
        }
    }
}

void TcpServer::serve(Connection& client, Heartbeat& heartbeat) {
    // What was produced while nobody listened is stale. Cleared before the connection is said:
    // whatever follows the line reaches this client.
    clearMessages();
    consoleThrottle().print("client-established", "Connection established.", console::Stream::OUT,
                            CONNECTION_LINES);
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    char host[INET_ADDRSTRLEN] = "";
    if (::getpeername(client.fd(), reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
        ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host) != nullptr) {
        setClientAddress(std::string(host) + ":" + std::to_string(ntohs(peer.sin_port)));
    }
    client.noDelay();
    client.keepAlive(clientTimeout_);
    for (const auto& entry : channelSnapshot()) {
        unsigned char device = entry.second->getDevice();
        if (device != known_devices::UNKNOWN) {
            std::string text = ClientMessage::deviceConnected(device);
            captureOutgoing(text);
            ::send(client.fd(), text.data(), text.size(), MSG_NOSIGNAL);
        }
    }

    const int messageWake = messageWakeFd();
    bool clientFull = false;
    auto nextAnswerCheck = std::chrono::steady_clock::now() + ANSWER_CHECK;
    while (waker_.running()) {
        heartbeat.beat();
        // The client's text, a queued message and stop() each end the wait. While the client's
        // socket is full the queue waits for room instead.
        // The listening socket too, while a filter may refuse what waits there: a refused
        // connection is closed at once, not when this client has gone.
        const bool listening = !listener_.allowed().empty() && waiting_.size() < WAITING_LIMIT &&
                               !listener_.resting(std::chrono::steady_clock::now());
        pollfd fds[4] = {{client.fd(), static_cast<short>(POLLIN | (clientFull ? POLLOUT : 0)), 0},
                         {waker_.pollFd(), POLLIN, 0},
                         {clientFull ? -1 : messageWake, POLLIN, 0},
                         {listening ? listener_.fd() : -1, POLLIN, 0}};
        // A client whose machine or cable died is looked for once a second, not on every
        // message's way out.
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextAnswerCheck) {
            nextAnswerCheck = now + ANSWER_CHECK;
            if (client.unanswered(clientTimeout_)) {
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
            if (!receive(client)) {
                break;
            }
        }
        const Connection::Flush flushed = flush(client);
        if (flushed == Connection::Flush::FAILED) {
            break;
        }
        clientFull = flushed == Connection::Flush::FULL;
    }
}

bool TcpServer::receive(Connection& client) {
    Connection::Received received = Connection::Received::OPEN;
    try {
        received = client.receive([](const std::string& message) {
            capture::add(capture::Direction::FromClient, capture::Kind::Text, "", message.data(),
                         message.size());
            // Escaped: a line break in the client's text must not forge console or journal
            // lines.
            console::out("COMMAND: [" + console::escaped(message) + "]");
            TcpCommandParser::parse(message);
        });
    } catch (const std::exception&) {
        console::out(std::string("Read Error:") + std::strerror(errno));
        console::err("Error recv");
        return true;
    }
    if (received == Connection::Received::OPEN) {
        return true;
    }
    // A reset connection never turns readable again: end it like a close, and say it as a
    // close is said.
    if (received == Connection::Received::CLOSED || client.error() == ECONNRESET) {
        consoleThrottle().print("client-crush", "Client crush", console::Stream::ERR,
                                CONNECTION_LINES);
    } else {
        console::err(std::string("Error recv: ") + std::strerror(client.error()));
    }
    return false;
}

Connection::Flush TcpServer::flush(Connection& client) {
    while (true) {
        if (client.pending() == 0) {
            // Taken off the queue one at a time, when the last has gone: when the queue is full
            // a producer drops its oldest message, which must not be one already taken here.
            std::string message;
            if (!takeMessage(message)) {
                return Connection::Flush::DRAINED;
            }
            captureOutgoing(message);
            client.push(std::make_shared<const std::string>(std::move(message)));
        }
        const Connection::Flush flushed = client.flush();
        if (flushed == Connection::Flush::FAILED) {
            // The connection is broken (reset, timed out): it ends as a close does, instead of
            // failing every queued message in turn. The message is dropped.
            consoleThrottle().print("client-write",
                                    std::string("Write Error:") + std::strerror(client.error()));
        }
        if (flushed != Connection::Flush::DRAINED) {
            return flushed;
        }
    }
}
