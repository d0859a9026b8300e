#include "client/monitorserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "bench/stand.h"
#include "client/connection.h"
#include "client/messageframer.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "link/portstatus.h"
#include "protocol/deviceids.h"
#include "service/clientmessage.h"
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
constexpr int OBSERVER_SOCKET_BUFFER = 32 << 10;
constexpr int MONITOR_NICE = 10;

// An observer's answers start with this key when something it sent is refused.
const std::string ERROR_KEY = "monitor_error:";

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
    Observer(FileDescriptor fd, std::size_t limit) : connection(std::move(fd)), limit(limit) {}

    Connection connection;
    const std::size_t limit;  // bytes it may have waiting
    uint64_t dropped = 0;     // messages lost since the last monitor_dropped
    bool dropping = false;    // lost one: takes no more until half its buffer has gone

    std::size_t pending() const { return connection.pending(); }
    // False when the connection failed.
    bool flush() { return connection.flush() != Connection::Flush::FAILED; }

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
            connection.push(std::make_shared<const std::string>(
                ClientMessage::build("monitor_dropped", std::to_string(dropped))));
            dropped = 0;
        }
        connection.push(message);
    }
    void enqueue(std::string message) {
        enqueue(std::make_shared<const std::string>(std::move(message)));
    }
};

MonitorServer::MonitorServer(MonitorSettings settings, std::function<std::string()> clientAddress)
    : port_(settings.port),
      bindAddress_(std::move(settings.bindAddress)),
      maxObservers_(settings.maxObservers),
      bufferBytes_(settings.bufferBytes),
      clientAddress_(std::move(clientAddress)),
      started_(std::chrono::steady_clock::now()),
      listener_({"monitor-refused", "Monitor: refused observer from ", "monitor-accept",
                 "Monitor accept: "}) {
    AddressFilter allowed;
    for (const std::string& network : settings.allow) {
        allowed.add(network);
    }
    listener_.setAllowed(std::move(allowed));
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
    // The monitor listens on the address it is given: none is no address at all.
    if (bindAddress_.empty()) {
        console::err(failed + "invalid address " + without);
        return false;
    }
    if (!listener_.open(bindAddress_, port_, 8)) {
        console::err(failed + listener_.failure() + without);
        return false;
    }
    copies_.enable(true);
    try {
        thread_ = std::thread(&MonitorServer::run, this);
    } catch (const std::exception& error) {
        copies_.enable(false);
        listener_.close();
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
    listener_.close();
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
        const bool listening = !listener_.resting(now);
        fds.push_back({listening ? listener_.fd() : -1, POLLIN, 0});
        for (const auto& observer : observers_) {
            // One whose buffer is full is not listened to either, until it reads.
            short events = observer->pending() < bufferBytes_ ? POLLIN : 0;
            if (observer->pending() > 0) {
                events |= POLLOUT;
            }
            fds.push_back({observer->connection.fd(), events, 0});
        }
        long timeout = std::chrono::ceil<std::chrono::milliseconds>(nextAnswerCheck - now).count();
        if (!observers_.empty() || copyWake < 0) {
            timeout = std::min<long>(timeout, TICK.count());
        }
        if (!listening) {
            timeout = std::min<long>(
                timeout,
                std::chrono::ceil<std::chrono::milliseconds>(listener_.resumes() - now).count());
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
            ok = ok && !(checkAnswers && observer.connection.unanswered(observerTimeout_));
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
        FileDescriptor fd;
        const Listener::Taken taken = listener_.accept(fd, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (taken == Listener::Taken::CONNECTION) {
            admit(std::move(fd));
        } else if (taken != Listener::Taken::REFUSED) {
            // Nothing waits, or the accept failed: the observers are served on while the
            // listener rests.
            return;
        }
    }
}

void MonitorServer::admit(FileDescriptor fd) {
    if (observers_.size() >= maxObservers_) {
        const std::string refusal =
            ERROR_KEY + "too many observers (" + std::to_string(maxObservers_) + ");";
        ::send(fd.get(), refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(fd.get(), SHUT_WR);
        return;
    }
    if (!descriptors::roomForOptional()) {
        refuseForDescriptors(fd.get());
        return;
    }
    auto observer = std::make_unique<Observer>(std::move(fd), bufferBytes_);
    Connection& connection = observer->connection;
    connection.noDelay();
    // The kernel's share of what waits for an observer stays small: the observer's own
    // bounded buffer, counted, is where a slow one loses messages.
    int sendBuffer = OBSERVER_SOCKET_BUFFER;
    ::setsockopt(connection.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    connection.keepAlive(observerTimeout_);
    // The state so far, whole whatever its size, then the messages as they come.
    std::string state;
    for (const auto& entry : channelSnapshot()) {
        const unsigned char device = entry.second->getDevice();
        if (device != known_devices::UNKNOWN) {
            state += ClientMessage::deviceConnected(device);
        }
    }
    for (const auto& entry : latest_) {
        state += *entry.second;
    }
    if (!state.empty()) {
        connection.push(std::make_shared<const std::string>(std::move(state)));
    }
    observer->flush();
    observers_.push_back(std::move(observer));
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
        const std::string key = ClientMessage::parse(message).key;
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
    // A message longer than the framer's limit is dropped as on the control port; the observer
    // is told once per such message, in the order of its answers.
    const Connection::Received received =
        observer.connection.receive([&](const std::string& message) { answer(observer, message); },
                                    [&] { answerOversized(observer); });
    return received == Connection::Received::OPEN;
}

std::string MonitorServer::answerBytes(const std::string& bytes, std::size_t block) {
    Observer observer(FileDescriptor(), bufferBytes_);
    for (std::size_t offset = 0; offset < bytes.size(); offset += block) {
        observer.connection.feed(
            bytes.data() + offset, std::min(block, bytes.size() - offset),
            [&](const std::string& message) { answer(observer, message); },
            [&] { answerOversized(observer); });
    }
    return observer.connection.waiting();
}

void MonitorServer::answerOversized(Observer& observer) {
    observer.enqueue(ERROR_KEY + "message longer than " +
                     std::to_string(MessageFramer::MESSAGE_LIMIT) + " bytes dropped;");
}

void MonitorServer::answer(Observer& observer, const std::string& message) {
    const std::string text = trimmed(message);
    const std::string key = ClientMessage::parse(text).key;
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
    if (controlRefused_ || !listener_.allowed().empty()) {
        block += "status_refused:";
        block += "control " + std::to_string(controlRefused_ ? controlRefused_() : uint64_t{0}) +
                 ",monitor " + std::to_string(listener_.refused()) + ";";
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
