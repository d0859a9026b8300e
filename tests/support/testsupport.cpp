#include "testsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "boardoptions.h"
#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"
#include "service/outbox.h"

namespace testing_support {

std::string hex(const Bytes& bytes) {
    std::string text;
    char piece[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, "%02X", bytes[i]);
        if (i > 0) {
            text += ' ';
        }
        text += piece;
    }
    return text;
}

Bytes unhex(const std::string& text) {
    Bytes bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

ScheduleEntries scheduleEntries(int device) {
    // The numbers on the wire, not the names of protocol/codes.h: this table pins them.
    if (known_devices::isTester(device)) {
        return {{10, 600}, {2, 1000}, {11, 300},  {15, 600}, {16, 500},
                {30, 800}, {31, 800}, {13, 1000}, {41, 400}, {27, 200}};
    }
    if (known_devices::isStand(device)) {
        return {{47, 1000}, {2, 1000}, {41, 310}, {42, 1100},
                {46, 1500}, {10, 600}, {80, 800}, {15, 1000}};
    }
    if (device == known_devices::FLOWMETER) {
        return {{2, 1000}, {55, 300}, {53, 500}, {54, 300}};
    }
    if (device == known_devices::DELAYMETER) {
        return {{62, 500}};
    }
    return {};
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t found = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++found;
    }
    return found;
}

std::shared_ptr<Channel> channelNamed(const std::string& name) {
    for (const auto& entry : channelSnapshot()) {
        if (entry.first == name) {
            return entry.second;
        }
    }
    return nullptr;
}

std::shared_ptr<Channel> idleChannel(int device) {
    auto channel = std::make_shared<Channel>(
        FileDescriptor(), testing_support::boardOptions(false, std::chrono::milliseconds(0)));
    if (device != known_devices::UNKNOWN) {
        channel->setDevice(static_cast<unsigned char>(device));
        channel->setDefined();
    }
    return channel;
}

std::shared_ptr<Channel> putIdleChannel(const std::string& name, int device) {
    std::shared_ptr<Channel> channel = idleChannel(device);
    MutexLock lock(channelMapMutex);
    channelMap[name] = channel;
    return channel;
}

std::vector<std::string> takeMessages() {
    std::deque<std::string> taken = takeAllMessages();
    return {taken.begin(), taken.end()};
}

long counterOf(const std::string& console, const std::string& board, const std::string& name) {
    const std::string head = "Counters [" + board + "]: ";
    for (std::size_t line = console.rfind(head); line != std::string::npos;
         line = line == 0 ? std::string::npos : console.rfind(head, line - 1)) {
        const std::size_t end = console.find('\n', line);
        if (end == std::string::npos) {
            continue;  // still being printed
        }
        // Figures are ", "-separated "name value" pairs after the head.
        const std::string figures =
            ", " + console.substr(line + head.size(), end - line - head.size());
        const std::size_t at = figures.find(", " + name + " ");
        if (at == std::string::npos) {
            return -1;
        }
        return std::stol(figures.substr(at + name.size() + 3));
    }
    return -1;
}

DescriptorSqueeze::DescriptorSqueeze(int left) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    saved_ = static_cast<long>(limit.rlim_cur);
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    // Room above what is open, so that the limit stays a round figure the test can read.
    limit_ = highest + 1 + left + 16;
    limit.rlim_cur = static_cast<rlim_t>(limit_);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        throw std::runtime_error("setrlimit failed");
    }
    while (true) {
        FileDescriptor filler(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!filler.valid()) {
            break;
        }
        fillers_.push_back(std::move(filler));
    }
    for (int i = 0; i < left && !fillers_.empty(); ++i) {
        fillers_.pop_back();
    }
}

DescriptorSqueeze::~DescriptorSqueeze() {
    fillers_.clear();
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(saved_);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::unique_ptr<Process> startDaemon(const std::vector<std::string>& args, uint16_t& port,
                                     const std::vector<std::string>& env, long openFiles,
                                     const std::vector<std::string>& wrapper) {
    constexpr int TRIES = 8;
    std::unique_ptr<Process> daemon;
    for (int attempt = 0; attempt < TRIES; ++attempt) {
        port = freePort();
        std::vector<std::string> argv = wrapper;
        argv.push_back(benchdPath());
        // A configuration installed on this machine must not change what the tests see.
        if (std::find(args.begin(), args.end(), "--config") == args.end()) {
            argv.insert(argv.end(), {"--config", "/dev/null"});
        }
        // Nor may two daemons of parallel tests both take the default monitor port.
        if (std::find(args.begin(), args.end(), "--monitor-port") == args.end()) {
            argv.insert(argv.end(), {"--monitor-port", "0"});
        }
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--port", std::to_string(port)});
        daemon = std::make_unique<Process>(argv, env, openFiles);
        bool bound = false;
        waitUntil(
            [&] {
                bound = daemon->out().find("Waiting for connection...") != std::string::npos;
                return bound || daemon->err().find("Cant bind socket") != std::string::npos;
            },
            10000ms);
        if (bound || daemon->err().find("Cant bind socket") == std::string::npos) {
            break;
        }
        daemon->wait();
    }
    return daemon;
}

NotifySocket::NotifySocket()
    : path_(dir_.path() + "/notify"),
      fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("notify socket path too long");
    }
    std::strcpy(address.sun_path, path_.c_str());
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("notify socket bind failed");
    }
}

const std::vector<std::string>& NotifySocket::messages() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd_.get(), buffer, sizeof buffer, 0)) > 0) {
        messages_.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return messages_;
}

std::size_t NotifySocket::count(const std::string& text) {
    std::size_t found = 0;
    for (const std::string& message : messages()) {
        found += message.find(text) != std::string::npos ? 1 : 0;
    }
    return found;
}

bool NotifySocket::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&] { return count(text) > 0; }, timeout);
}

Daemon::Daemon() : process(startDaemon({"--dev-dir", dir.path()}, port)) {}

std::string benchdPath() {
#ifdef BENCHD_BINARY
    return BENCHD_BINARY;
#else
    return "benchd";
#endif
}

}  // namespace testing_support
