#include "ptylink.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Raw, so that the line discipline neither echoes the board's frames back nor edits them.
void makeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(fd, TCSANOW, &settings);
    }
}

}  // namespace

PtyLink::PtyLink(std::string dir, std::string name)
    : dir_(std::move(dir)), name_(std::move(name)) {}

PtyLink::~PtyLink() {
    unplug();
}

std::string PtyLink::linkPath() const {
    return dir_ + "/" + name_;
}

bool PtyLink::plug(std::string& error) {
    unplug();
    FileDescriptor master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    char name[128];
    if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
        ptsname_r(master.get(), name, sizeof name) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    FileDescriptor slave(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.valid()) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    makeRaw(master.get());
    makeRaw(slave.get());
    if (::symlink(name, linkPath().c_str()) != 0) {
        error = "cannot create " + linkPath() + ": " + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    master_ = std::move(master);
    slave_ = std::move(slave);
    return true;
}

void PtyLink::unplug() {
    if (!master_.valid()) {
        return;
    }
    std::vector<char> target(slavePath_.size() + 2);
    ssize_t n = ::readlink(linkPath().c_str(), target.data(), target.size());
    if (n >= 0 && std::string(target.data(), static_cast<std::size_t>(n)) == slavePath_) {
        ::unlink(linkPath().c_str());
    }
    master_.reset();
    slave_.reset();
}

int PtyLink::unread() const {
    int count = 0;
    if (!slave_.valid() || ::ioctl(slave_.get(), FIONREAD, &count) != 0) {
        return 0;
    }
    return count;
}
