// A child process: spawned from an argument vector, its output collected in memory, written to a
// file or thrown away, waited for with a deadline, and stopped with a signal.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

class Process {
public:
    struct Options {
        // "NAME=value" entries set in the child's environment on top of this process's.
        std::vector<std::string> env;
        // > 0: the child's RLIMIT_NOFILE (soft and hard), as `ulimit -n` would set it.
        long openFiles = 0;
        // Where standard output and error go: empty, collected here (a reader thread each);
        // otherwise this file, truncated ("/dev/null" throws them away at no cost to the child).
        std::string outputFile;
        // What the destructor sends a child that still runs (SIGKILL follows after 5 s).
        int endSignal = SIGKILL;
    };

    // Throws std::system_error when the child cannot be made; a program that cannot be run
    // exits with 127.
    Process(const std::vector<std::string>& argv, const Options& options);
    explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     long openFiles = 0);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Standard output (and error, when they go to a file) so far.
    std::string out() const;
    std::string err() const;
    // Waits until standard output (or error) holds `text`.
    bool waitForOut(const std::string& text, std::chrono::milliseconds timeout = 5000ms) const;
    bool waitForErr(const std::string& text, std::chrono::milliseconds timeout = 5000ms) const;
    // Sends a signal and waits for the exit, SIGKILL after `grace`; returns the exit status
    // (128+signal if killed).
    int stop(int signal = SIGTERM, std::chrono::milliseconds grace = 10000ms);
    // Waits for the process to exit by itself; -1 on timeout.
    int wait(std::chrono::milliseconds timeout = 5000ms);
    bool running() const { return status_ < 0; }

private:
    void collect(int fd, std::string& into);
    void joinCollectors();
    Options options_;
    pid_t pid_ = -1;
    int status_ = -1;
    mutable std::mutex mutex_;
    std::string out_, err_;  // guarded by mutex_
    std::thread outThread_, errThread_;
};

// Sends `signal` to a child of this process and reaps it, with SIGKILL after 5 s; sets `pid` to
// -1. Nothing for a pid of -1. (For children forked by hand, such as the broker.)
void stopChild(pid_t& pid, int signal);

}  // namespace harness
