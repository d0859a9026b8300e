#include "process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include "wait.h"

namespace harness {

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 long openFiles)
    : Process(argv, Options{env, openFiles, "", SIGKILL}) {}

Process::Process(const std::vector<std::string>& argv, const Options& options) : options_(options) {
    const bool collecting = options_.outputFile.empty();
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if (collecting && (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)) {
        throw std::system_error(errno, std::generic_category(), "pipe failed");
    }
    // Built before the fork: the child of a threaded process should do little but exec.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::system_error(errno, std::generic_category(), "fork failed");
    }
    if (pid_ == 0) {
        if (collecting) {
            ::dup2(outPipe[1], 1);
            ::dup2(errPipe[1], 2);
        } else {
            const int out = ::open(options_.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        for (const std::string& entry : options_.env) {
            ::putenv(const_cast<char*>(entry.c_str()));
        }
        if (options_.openFiles > 0) {
            const rlimit limit{static_cast<rlim_t>(options_.openFiles),
                               static_cast<rlim_t>(options_.openFiles)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                std::perror("setrlimit");
                ::_exit(127);
            }
        }
        ::execv(args[0], args.data());
        std::perror("execv");
        ::_exit(127);
    }
    if (collecting) {
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        outThread_ = std::thread([this, fd = outPipe[0]] { collect(fd, out_); });
        errThread_ = std::thread([this, fd = errPipe[0]] { collect(fd, err_); });
    }
}

Process::~Process() {
    if (pid_ > 0 && status_ < 0) {
        stop(options_.endSignal, 5000ms);
    }
    joinCollectors();
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

void Process::joinCollectors() {
    if (outThread_.joinable()) {
        outThread_.join();
    }
    if (errThread_.joinable()) {
        errThread_.join();
    }
}

std::string Process::out() const {
    if (!options_.outputFile.empty()) {
        std::ifstream in(options_.outputFile);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Process::err() const {
    if (!options_.outputFile.empty()) {
        return out();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

bool Process::waitForOut(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return out().find(text) != std::string::npos; }, timeout);
}

bool Process::waitForErr(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return err().find(text) != std::string::npos; }, timeout);
}

int Process::stop(int signal, std::chrono::milliseconds grace) {
    if (status_ >= 0) {
        return status_;
    }
    ::kill(pid_, signal);
    int result = wait(grace);
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
    const bool done = waitUntil([&] { return ::waitpid(pid_, &raw, WNOHANG) == pid_; }, timeout);
    if (!done) {
        return -1;
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    // The output is complete once the collectors have read to the end of the pipes.
    joinCollectors();
    return status_;
}

void stopChild(pid_t& pid, int signal) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, signal);
    if (!waitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 5000ms, 10ms)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

}  // namespace harness
