#include "loggedclient.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace chaos {

LoggedClient::LoggedClient(RunLog& log, std::string tag, uint16_t port)
    : log_(log), tag_(std::move(tag)), port_(port) {}

LoggedClient::~LoggedClient() {
    close();
    for (int fd : dead_) {
        ::close(fd);
    }
}

bool LoggedClient::connect() {
    close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        log_.line(tag_ + " " + std::to_string(connection_ + 1) + " refused " +
                  std::strerror(errno));
        ::close(fd);
        return false;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fd_ = fd;
    ++connection_;
    log_.line(tag_ + " " + std::to_string(connection_) + " open");
    startReader();
    return true;
}

bool LoggedClient::send(const std::string& messages) {
    if (fd_ < 0) {
        return false;
    }
    const int64_t at = nowUs();
    std::size_t start = 0;
    while (start < messages.size()) {
        std::size_t end = messages.find(';', start);
        if (end == std::string::npos) {
            break;
        }
        log_.lineAt(at, tag_ + " " + std::to_string(connection_) + " send " +
                            messages.substr(start, end - start));
        start = end + 1;
    }
    std::size_t sent = 0;
    while (sent < messages.size()) {
        ssize_t n = ::send(fd_, messages.data() + sent, messages.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            log_.line(tag_ + " " + std::to_string(connection_) + " send-failed " +
                      std::strerror(errno));
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void LoggedClient::close() {
    if (fd_ < 0) {
        return;
    }
    log_.line(tag_ + " " + std::to_string(connection_) + " close");
    ::shutdown(fd_, SHUT_RDWR);
    stopReader();
    ::close(fd_);
    fd_ = -1;
}

void LoggedClient::reset() {
    if (fd_ < 0) {
        return;
    }
    log_.line(tag_ + " " + std::to_string(connection_) + " reset");
    stopReader();
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
}

void LoggedClient::dieSilently() {
    if (fd_ < 0) {
        return;
    }
    log_.line(tag_ + " " + std::to_string(connection_) + " silent");
    stopReader();
    sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    sock_fprog program{1, dropAll};
    ::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    dead_.push_back(fd_);
    fd_ = -1;
}

void LoggedClient::startReader() {
    stopReading_.store(false);
    reader_ = std::thread([this, fd = fd_, connection = connection_] { read(fd, connection); });
}

void LoggedClient::stopReader() {
    stopReading_.store(true);
    if (reader_.joinable()) {
        reader_.join();
    }
}

void LoggedClient::read(int fd, int connection) {
    const std::string prefix = tag_ + " " + std::to_string(connection) + " ";
    std::string partial;
    std::vector<char> buffer(64 * 1024);
    while (!stopReading_.load()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            log_.line(prefix + "eof " + (n == 0 ? std::string("closed") : std::strerror(errno)));
            return;
        }
        const int64_t at = nowUs();
        partial.append(buffer.data(), static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = partial.find(';', start)) != std::string::npos;
             start = end + 1) {
            log_.lineAt(at, prefix + "recv " + partial.substr(start, end - start));
            received_.fetch_add(1);
        }
        partial.erase(0, start);
    }
}

}  // namespace chaos
