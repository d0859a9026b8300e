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

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
}

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

namespace {
void makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}
}  // namespace

Pty::Pty() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    master_.reset(fd);
    char name[128];
    if (ptsname_r(fd, name, sizeof name) != 0) {
        throw std::runtime_error("ptsname failed");
    }
    slavePath_ = name;
    makeRaw(fd);
    // Keep the slave side open once so that the line settings stick and the master never
    // sees a hang-up while the daemon reopens it.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) {
        makeRaw(slave);
        ::close(slave);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

FileDescriptor Pty::openSlave() const {
    int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + slavePath_);
    }
    makeRaw(fd);
    return FileDescriptor(fd);
}

void Pty::write(const Bytes& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{master_.get(), POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

Bytes Pty::readFor(std::chrono::milliseconds timeout) {
    return readAtLeast(std::numeric_limits<std::size_t>::max(), timeout);
}

Bytes Pty::readAtLeast(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes bytes;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char buffer[4096];
    while (bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{master_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        } else {
            // No slave open right now (EIO): wait a little instead of spinning.
            std::this_thread::sleep_for(2ms);
        }
    }
    return bytes;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "benchd-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::link(const std::string& name, const std::string& target) const {
    std::filesystem::create_symlink(target, path_ + "/" + name);
}

void TempDir::unlink(const std::string& name) const {
    std::filesystem::remove(path_ + "/" + name);
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

uint16_t freePort() {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (!fd.valid() ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free port");
    }
    return ntohs(address.sin_port);
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 long openFiles) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        for (const auto& entry : env) {
            ::putenv(const_cast<char*>(entry.c_str()));
        }
        if (openFiles > 0) {
            const rlimit limit{static_cast<rlim_t>(openFiles), static_cast<rlim_t>(openFiles)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                std::perror("setrlimit");
                ::_exit(127);
            }
        }
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::perror("execv");
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outThread_ = std::thread([this, fd = outPipe[0]] { collect(fd, out_); });
    errThread_ = std::thread([this, fd = errPipe[0]] { collect(fd, err_); });
}

Process::~Process() {
    if (pid_ > 0 && status_ < 0) {
        stop(SIGKILL);
    }
    if (outThread_.joinable()) {
        outThread_.join();
    }
    if (errThread_.joinable()) {
        errThread_.join();
    }
}

void Process::collect(int fd, std::string& into) {
    char buffer[4096];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        into.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
}

std::string Process::out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Process::err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

bool Process::waitForOut(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return out().find(text) != std::string::npos; }, timeout);
}

bool Process::waitForErr(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return err().find(text) != std::string::npos; }, timeout);
}

int Process::stop(int signal) {
    if (status_ >= 0) {
        return status_;
    }
    ::kill(pid_, signal);
    int result = wait(10000ms);
    if (result < 0) {
        ::kill(pid_, SIGKILL);
        result = wait(10000ms);
    }
    return result;
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (status_ >= 0) {
        return status_;
    }
    int raw = 0;
    bool done = waitUntil([&] { return ::waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout);
    if (!done) {
        return -1;
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    // The output is complete once the collectors have read to the end of the pipes.
    if (outThread_.joinable()) {
        outThread_.join();
    }
    if (errThread_.joinable()) {
        errThread_.join();
    }
    return status_;
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

TcpClient::TcpClient(uint16_t port, std::chrono::milliseconds timeout) {
    waitUntil(
        [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                fd_.reset(fd);
                return true;
            }
            ::close(fd);
            return false;
        },
        timeout);
}

void TcpClient::send(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd_.get(), text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void TcpClient::drain(std::chrono::milliseconds wait) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
        return;
    }
    char buffer[4096];
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        received_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool TcpClient::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            drain(5ms);
            return received_.find(text) != std::string::npos;
        },
        timeout);
}

const std::string& TcpClient::received() {
    drain(0ms);
    return received_;
}

}  // namespace testing_support
