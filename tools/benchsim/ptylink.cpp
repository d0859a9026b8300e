#include "ptylink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

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
    std::unique_ptr<harness::Pty> pty;
    try {
        pty = std::make_unique<harness::Pty>(true);
    } catch (const std::system_error& failure) {
        error = failure.what();
        return false;
    }
    if (::symlink(pty->slavePath().c_str(), linkPath().c_str()) != 0) {
        error = "cannot create " + linkPath() + ": " + std::strerror(errno);
        return false;
    }
    slavePath_ = pty->slavePath();
    pty_ = std::move(pty);
    return true;
}

void PtyLink::unplug() {
    if (!pty_) {
        return;
    }
    std::vector<char> target(slavePath_.size() + 2);
    ssize_t n = ::readlink(linkPath().c_str(), target.data(), target.size());
    if (n >= 0 && std::string(target.data(), static_cast<std::size_t>(n)) == slavePath_) {
        ::unlink(linkPath().c_str());
    }
    pty_.reset();
}

int PtyLink::unread() const {
    return pty_ ? pty_->unread() : 0;
}
