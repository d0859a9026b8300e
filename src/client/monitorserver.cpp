#include "client/monitorserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "bench/stand.h"
#include "client/liveness.h"
#include "client/messageframer.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/portstatus.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/consolethrottle.h"
#include "service/descriptors.h"
#include "service/outbox.h"

namespace {

// How often the copies are taken while observers are connected: a burst a tick rather than a
// wake-up a message keeps the monitor's work off the client's path. Without observers only the
// latest values need them, every COPIES_BATCH copies or each answer check. A longer tick
// (100 ms was tried) makes each tick's burst larger than a small observer buffer
// (--monitor-buffer 16384) holds while a full telemetry stream flows, and gains nothing
// measurable.
constexpr std::chrono::milliseconds TICK{20};
// How often the observers are checked for an answer to the data waiting for them.
constexpr std::chrono::milliseconds ANSWER_CHECK{1000};
constexpr std::chrono::milliseconds ACCEPT_RETRY_PAUSE{100};
constexpr std::size_t RECEIVE_BLOCK = 1024;
constexpr int OBSERVER_SOCKET_BUFFER = 32 << 10;
constexpr int MONITOR_NICE = 10;
// Refused observers are each said, a storm of them in its first lines of a minute.
constexpr std::size_t REFUSED_LINES = 20;

// An observer's answers start with this key when something it sent is refused.
const std::string ERROR_KEY = "monitor_error:";

std::string keyOf(const std::string& message) {
    std::size_t end = message.find(':');
    if (end == std::string::npos) {
        end = message.find(';');
    }
    return message.substr(0, end);
}

// The board's own announcements stand for these: they are not values to repeat.
bool isAnnouncement(const std::string& key) {
    return key == "device_connected" || key == "device_disconnected";
}

// An observer accepted while the boards and the control client need the descriptors left: told
// why and closed at once.
void refuseForDescriptors(int fd) {
    const std::string refusal = ERROR_KEY + "out of descriptors;";
    ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    descriptors::sayShort("observer refused; " + std::to_string(descriptors::reserve()) +
                          " kept for the boards and the control client");
}

std::string trimmed(const std::string& text) {
    const char* blank = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blank);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

}  // namespace

struct MonitorServer::Observer {
    explicit Observer(std::size_t limit) : limit(limit) {}

    const std::size_t limit;  // bytes it may have waiting
    FileDescriptor fd;
    MessageFramer framer;
    std::size_t unterminated = 0;  // bytes received since its last ";"
    // Messages not yet sent whole, shared with the other observers; `sent` bytes of the first
    // have gone.
    std::deque<SharedMessage> queue;
    std::size_t queued = 0;  // the bytes of `queue`
    std::size_t sent = 0;
    uint64_t dropped = 0;   // messages lost since the last monitor_dropped
    bool dropping = false;  // lost one: takes no more until half its buffer has gone
    bool broken = false;    // a send failed: the connection is over

    std::size_t pending() const { return queued - sent; }

    // Queues one message, or loses it (counted) when the observer does not keep up. The first
    // message after a gap is preceded by the count of what was lost.
    void enqueue(const SharedMessage& message) {
        if (dropping && pending() > limit / 2) {
            flush();
        }
        if (dropping && pending() > limit / 2) {
            ++dropped;
            return;
        }
        dropping = false;
        if (pending() + message->size() > limit) {
            // A burst larger than the buffer goes to the socket first.
            flush();
        }
        if (pending() + message->size() > limit) {
            ++dropped;
            dropping = true;
            return;
        }
        if (dropped > 0) {
            push(std::make_shared<const std::string>("monitor_dropped:" + std::to_string(dropped) +
                                                     ";"));
            dropped = 0;
        }
        push(message);
    }
    void enqueue(std::string message) {
        enqueue(std::make_shared<const std::string>(std::move(message)));
    }
    // Queues whatever its size (the state on connecting).
    void push(SharedMessage message) {
        queued += message->size();
        queue.push_back(std::move(message));
    }

    // Sends what is queued, as far as the socket takes it, many messages a call. False (and
    // `broken` from then on) when the connection failed.
    bool flush() {
        constexpr std::size_t SLICES = 64;
        while (!broken && pending() > 0) {
            iovec slices[SLICES];
            std::size_t count = 0;
            for (auto it = queue.begin(); it != queue.end() && count < SLICES; ++it, ++count) {
                const std::size_t skip = count == 0 ? sent : 0;
                slices[count].iov_base = const_cast<char*>((*it)->data() + skip);
                slices[count].iov_len = (*it)->size() - skip;
            }
            msghdr header{};
            header.msg_iov = slices;
            header.msg_iovlen = count;
            const ssize_t written = ::sendmsg(fd.get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                broken = errno != EAGAIN && errno != EWOULDBLOCK;
                break;
            }
            // Off the front: what went whole, then the part of the next.
            std::size_t left = static_cast<std::size_t>(written);
            while (left > 0) {
                const std::size_t rest = queue.front()->size() - sent;
                if (left < rest) {
                    sent += left;
                    break;
                }
                left -= rest;
                queued -= queue.front()->size();
                queue.pop_front();
                sent = 0;
            }
        }
        return !broken;
    }
};

MonitorServer::MonitorServer(MonitorSettings settings, std::function<std::string()> clientAddress)
    : port_(settings.port),
      bindAddress_(std::move(settings.bindAddress)),
      maxObservers_(settings.maxObservers),
      bufferBytes_(settings.bufferBytes),
      clientAddress_(std::move(clientAddress)),
      started_(std::chrono::steady_clock::now()) {
    for (const std::string& network : settings.allow) {
        allowed_.add(network);
    }
}

MonitorServer::~MonitorServer() {
    stop();
}

bool MonitorServer::start() {
    if (port_ == 0) {
        return false;
    }
    const std::string failed = "Monitor port " + std::to_string(port_) + " not opened: ";
    const std::string without = "; serving without observers";
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        console::err(failed + std::strerror(errno) + without);
        return false;
    }
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    if (::inet_pton(AF_INET, bindAddress_.c_str(), &address.sin_addr) != 1) {
        console::err(failed + "invalid address " + bindAddress_ + without);
        return false;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        console::err(failed + std::strerror(errno) + without);
        return false;
    }
    listenFd_ = std::move(fd);
    copies_.enable(true);
    try {
        thread_ = std::thread(&MonitorServer::run, this);
    } catch (const std::exception& error) {
        copies_.enable(false);
        listenFd_.reset();
        console::err(failed + error.what() + without);
        return false;
    }
    return true;
}

void MonitorServer::stop() {
    waker_.stop();
    if (thread_.joinable()) {
        thread_.join();
        copies_.enable(false);
    }
    observers_.clear();
    listenFd_.reset();
}

void MonitorServer::run() {
    // Observers are served with what the CPU has left: when the boards' and the control
    // client's threads wake, they go first. (A failure leaves the usual priority.)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), MONITOR_NICE);
    const int copyWake = copies_.wakeFd();
    auto nextAnswerCheck = std::chrono::steady_clock::now() + ANSWER_CHECK;
    std::vector<pollfd> fds;
    while (waker_.running()) {
        fds.clear();
        fds.push_back({waker_.pollFd(), POLLIN, 0});
        fds.push_back({copyWake, POLLIN, 0});
        // Left out for a moment after an accept failed: the still readable listener would
        // keep the loop spinning.
        const auto now = std::chrono::steady_clock::now();
        const bool listening = now >= acceptResumes_;
        fds.push_back({listening ? listenFd_.get() : -1, POLLIN, 0});
        for (const auto& observer : observers_) {
            // One whose buffer is full is not listened to either, until it reads.
            short events = observer->pending() < bufferBytes_ ? POLLIN : 0;
            if (observer->pending() > 0) {
                events |= POLLOUT;
            }
            fds.push_back({observer->fd.get(), events, 0});
        }
        long timeout = std::chrono::ceil<std::chrono::milliseconds>(nextAnswerCheck - now).count();
        if (!observers_.empty() || copyWake < 0) {
            timeout = std::min<long>(timeout, TICK.count());
        }
        if (!listening) {
            timeout = std::min<long>(
                timeout,
                std::chrono::ceil<std::chrono::milliseconds>(acceptResumes_ - now).count());
        }
        // A failed poll (interrupted) is a pass with nothing ready.
        ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(timeout, 0)));
        if (!waker_.running()) {
            break;
        }
        if (fds[1].revents != 0) {
            // Read empty before the copies are taken, so that none is left unsignalled.
            copies_.clearWake();
        }
        takeCopies();

        const bool checkAnswers = std::chrono::steady_clock::now() >= nextAnswerCheck;
        if (checkAnswers) {
            nextAnswerCheck = std::chrono::steady_clock::now() + ANSWER_CHECK;
        }
        std::vector<std::unique_ptr<Observer>> alive;
        for (std::size_t i = 0; i < observers_.size(); ++i) {
            Observer& observer = *observers_[i];
            const short revents = fds[3 + i].revents;
            bool ok = true;
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                ok = receive(observer);
            }
            ok = ok && observer.flush();
            ok = ok && !(checkAnswers && liveness::unanswered(observer.fd.get(), observerTimeout_));
            if (ok) {
                alive.push_back(std::move(observers_[i]));
            }
        }
        observers_.swap(alive);
        if (fds[2].revents != 0) {
            accept();
        }
    }
}

void MonitorServer::accept() {
    while (true) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        FileDescriptor fd(::accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&peer),
                                    &peerLength, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.valid()) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                // Out of descriptors, for one: once, then once a minute; the observers are
                // served on while the listener rests.
                consoleThrottle().print("monitor-accept",
                                        std::string("Monitor accept: ") + std::strerror(errno),
                                        console::Stream::ERR);
                acceptResumes_ = std::chrono::steady_clock::now() + ACCEPT_RETRY_PAUSE;
            }
            return;
        }
        const sockaddr* address = reinterpret_cast<const sockaddr*>(&peer);
        if (!allowed_.allows(address, peerLength)) {
            // Closed before anything is read or sent.
            fd.reset();
            ++refused_;
            consoleThrottle().print("monitor-refused",
                                    "Monitor: refused observer from " +
                                        AddressFilter::describe(address, peerLength) +
                                        ": not allowed",
                                    console::Stream::OUT, REFUSED_LINES);
            continue;
        }
        if (observers_.size() >= maxObservers_) {
            const std::string refusal =
                ERROR_KEY + "too many observers (" + std::to_string(maxObservers_) + ");";
            ::send(fd.get(), refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::shutdown(fd.get(), SHUT_WR);
            continue;
        }
        if (!descriptors::roomForOptional()) {
            refuseForDescriptors(fd.get());
            continue;
        }
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The kernel's share of what waits for an observer stays small: the observer's own
        // bounded buffer, counted, is where a slow one loses messages.
        int sendBuffer = OBSERVER_SOCKET_BUFFER;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        liveness::keepAlive(fd.get(), observerTimeout_);
        auto observer = std::make_unique<Observer>(bufferBytes_);
        observer->fd = std::move(fd);
        // The state so far, whole whatever its size, then the messages as they come.
        std::string state;
        for (const auto& entry : channelSnapshot()) {
            const unsigned char device = entry.second->getDevice();
            if (device != known_devices::UNKNOWN) {
                state += "device_connected:" + std::to_string(device) + ";";
            }
        }
        for (const auto& entry : latest_) {
            state += *entry.second;
        }
        if (!state.empty()) {
            observer->push(std::make_shared<const std::string>(std::move(state)));
        }
        observer->flush();
        observers_.push_back(std::move(observer));
    }
}

void MonitorServer::takeCopies() {
    uint64_t lost = 0;
    copies_.take(taken_, lost);
    if (lost > 0) {
        for (const auto& observer : observers_) {
            observer->dropped += lost;
            observer->dropping = true;
        }
    }
    for (const SharedMessage& shared : taken_) {
        const std::string& message = *shared;
        for (const auto& observer : observers_) {
            observer->enqueue(shared);
        }
        const std::string key = keyOf(message);
        if (isAnnouncement(key)) {
            continue;
        }
        auto found = latest_.find(key);
        if (found != latest_.end()) {
            found->second = shared;
        } else if (latest_.size() < KEY_LIMIT) {
            latest_.emplace(key, shared);
        } else {
            consoleThrottle().print("monitor-keys", "Monitor: more than " +
                                                        std::to_string(KEY_LIMIT) +
                                                        " keys; the latest value of [" +
                                                        console::escaped(key) + "] is not kept");
        }
    }
}

bool MonitorServer::receive(Observer& observer) {
    char block[RECEIVE_BLOCK];
    const ssize_t count = ::recv(observer.fd.get(), block, sizeof block, MSG_DONTWAIT);
    if (count == 0) {
        return false;
    }
    if (count < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    // The framer drops a message longer than its limit as it does on the control port; the
    // observer is told once per such message, in the order of its answers. The bytes are fed up
    // to the one that makes a message too long, the refusal queued, then the rest.
    const auto onMessage = [&](const std::string& message) { answer(observer, message); };
    std::size_t from = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        if (block[i] == ';') {
            observer.unterminated = 0;
        } else if (++observer.unterminated == MessageFramer::MESSAGE_LIMIT + 1) {
            observer.framer.feed(block + from, i + 1 - from, onMessage);
            from = i + 1;
            observer.enqueue(ERROR_KEY + "message longer than " +
                             std::to_string(MessageFramer::MESSAGE_LIMIT) + " bytes dropped;");
        }
    }
    observer.framer.feed(block + from, static_cast<std::size_t>(count) - from, onMessage);
    return true;
}

void MonitorServer::answer(Observer& observer, const std::string& message) {
    const std::string text = trimmed(message);
    const std::string key = keyOf(text);
    if (key == "status") {
        observer.enqueue(statusBlock());
    } else if (text.empty()) {
        observer.enqueue(ERROR_KEY + "empty message;");
    } else {
        // Nothing an observer sends reaches the parser or a board.
        observer.enqueue(ERROR_KEY + "read-only: " + key + " ignored;");
    }
}

std::string MonitorServer::statusBlock() const {
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started_);
    const std::string client = clientAddress_ ? clientAddress_() : "";
    std::string block = std::string("status_version:") + BENCHD_VERSION + ";";
    block += "status_uptime:" + std::to_string(uptime.count()) + ";";
    block += "status_client:" + (client.empty() ? std::string("none") : client) + ";";
    block += "status_observers:" + std::to_string(observers_.size()) + ";";
    // The stand's speed set-point: the control client's latest device_rpm (0 before one).
    block += "status_stand_setpoint:" + std::to_string(Stand::rpm.load()) + ";";
    // Only where a port lets some peers in and not others.
    if (controlRefused_ || !allowed_.empty()) {
        block += "status_refused:";
        block += "control " + std::to_string(controlRefused_ ? controlRefused_() : uint64_t{0}) +
                 ",monitor " + std::to_string(refused_) + ";";
    }
    for (const PortStatus& port : portStatuses()) {
        block += "status_port:" + port.name + "," +
                 (port.identified ? std::to_string(port.device) : std::string("unidentified")) +
                 "," + (port.lowLatency ? "on" : "off");
        for (const auto& figure : port.counters) {
            block += std::string(",") + figure.first + " " + std::to_string(figure.second);
        }
        block += ";";
    }
    block += std::string("status_end:") + "1;";
    return block;
}
