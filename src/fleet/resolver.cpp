#include "fleet/resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

bool numeric(const std::string& text) {
    in6_addr scratch{};
    return ::inet_pton(AF_INET, text.c_str(), &scratch) == 1 ||
           ::inet_pton(AF_INET6, text.c_str(), &scratch) == 1;
}

}  // namespace

Resolver::~Resolver() {
    abandon();
}

void Resolver::abandon() {
    if (child_ > 0) {
        ::kill(child_, SIGKILL);
        while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }
    output_.reset();
    if (state_ == State::PENDING) {
        state_ = State::IDLE;
    }
}

Resolver::State Resolver::start(const std::string& host) {
    abandon();
    host_ = host;
    text_.clear();
    addresses_.clear();
    error_.clear();
    if (numeric(host)) {
        addresses_.push_back(host);
        state_ = State::DONE;
        return state_;
    }
    // An option-like name would be read as an option by getent.
    if (host.empty() || host[0] == '-') {
        error_ = "not a host name";
        state_ = State::FAILED;
        return state_;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("cannot make a pipe: ") + std::strerror(errno);
        state_ = State::FAILED;
        return state_;
    }
    FileDescriptor readEnd(fds[0]);
    FileDescriptor writeEnd(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Nothing else of the daemon's (ports, sockets) goes with it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The daemon's signal dispositions and mask are not the child's business.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const char* argv[] = {GETENT, "ahosts", host_.c_str(), nullptr};
    char* const environment[] = {nullptr};
    const int rc = ::posix_spawn(&child_, GETENT, &actions, &attributes,
                                 const_cast<char* const*>(argv), environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        child_ = -1;
        error_ = std::string("cannot run ") + GETENT + ": " + std::strerror(rc);
        state_ = State::FAILED;
        return state_;
    }
    output_ = std::move(readEnd);
    state_ = State::PENDING;
    return state_;
}

Resolver::State Resolver::poll() {
    if (state_ != State::PENDING) {
        return state_;
    }
    if (!drain()) {
        return state_;
    }
    return finish();
}

bool Resolver::drain() {
    char buffer[4096];
    while (output_.valid()) {
        const ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
        if (got > 0) {
            text_.append(buffer, static_cast<std::size_t>(got));
            if (text_.size() > OUTPUT_LIMIT) {
                abandon();
                error_ = "the lookup said too much";
                state_ = State::FAILED;
                return false;
            }
        } else if (got == 0) {
            output_.reset();  // the end: the child is exiting
        } else if (errno == EINTR) {
            continue;
        } else {
            break;  // EAGAIN: nothing more yet
        }
    }
    return true;
}

Resolver::State Resolver::finish() {
    int status = 0;
    const pid_t reaped = ::waitpid(child_, &status, WNOHANG);
    if (reaped == 0) {
        return state_;  // still running (or its output still open)
    }
    child_ = -1;
    // What it wrote just before it exited.
    if (!drain()) {
        return state_;
    }
    output_.reset();
    if (reaped < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // getent says 2 for a name it does not know.
        error_ = reaped > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 2 ? "no such host"
                                                                             : "the lookup failed";
        state_ = State::FAILED;
        return state_;
    }
    // "ADDRESS  STREAM name", then the same address for other socket types.
    std::istringstream lines(text_);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string address = line.substr(0, line.find_first_of(" \t"));
        if (numeric(address) &&
            std::find(addresses_.begin(), addresses_.end(), address) == addresses_.end()) {
            addresses_.push_back(address);
        }
    }
    if (addresses_.empty()) {
        error_ = "no IPv4 or IPv6 address";
        state_ = State::FAILED;
    } else {
        state_ = State::DONE;
    }
    return state_;
}
