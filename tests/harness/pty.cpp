#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <system_error>
#include <thread>

namespace harness {

void makeRaw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

void writeAll(int fd, const unsigned char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

Pty::Pty(bool holdSlave) {
    FileDescriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    char name[128];
    if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
        ::ptsname_r(master.get(), name, sizeof name) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot open a pseudo-terminal");
    }
    makeRaw(master.get());
    FileDescriptor slave(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave.valid()) {
        makeRaw(slave.get());
    } else if (holdSlave) {
        throw std::system_error(errno, std::generic_category(), std::string("cannot open ") + name);
    }
    if (holdSlave) {
        slave_ = std::move(slave);
    }
    master_ = std::move(master);
    slavePath_ = name;
}

FileDescriptor Pty::openSlave() const {
    FileDescriptor fd(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        throw std::system_error(errno, std::generic_category(), "cannot open " + slavePath_);
    }
    makeRaw(fd.get());
    return fd;
}

void Pty::write(const Bytes& bytes) const {
    writeAll(master_.get(), bytes.data(), bytes.size());
}

Bytes Pty::readFor(std::chrono::milliseconds timeout) {
    return readAtLeast(std::numeric_limits<std::size_t>::max(), timeout);
}

Bytes Pty::readAtLeast(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char buffer[4096];
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
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

int Pty::unread() const {
    int count = 0;
    if (!slave_.valid() || ::ioctl(slave_.get(), FIONREAD, &count) != 0) {
        return 0;
    }
    return count;
}

}  // namespace harness
