// Helpers for tests that need pseudo-terminals, a temporary device directory, a free
// loopback port, the real daemon as a child process, a TCP client, or channels without
// threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frames.h"
#include "service/filedescriptor.h"

class Channel;

namespace testing_support {

using namespace std::chrono_literals;

// Polls pred every few milliseconds until it is true or the timeout passes.
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms);

// "A5 A5 0F" style hex text of bytes, and back.
std::string hex(const Bytes& bytes);
Bytes unhex(const std::string& text);

// The report schedule the daemon programs into a board of `device` once the board identified
// itself: (report code, period in ms) in the order written. The delay meter's sensitivity
// command, which follows its one entry, is not among them. Empty for any other device.
using ScheduleEntries = std::vector<std::pair<unsigned char, uint32_t>>;
ScheduleEntries scheduleEntries(int device);

// How often `needle` occurs in `text`, not overlapping.
std::size_t occurrences(const std::string& text, const std::string& needle);

// The channel the process-wide channel map holds under `name`, or null.
std::shared_ptr<Channel> channelNamed(const std::string& name);
// A channel with no port and no threads, as a board of `device` that identified itself
// (known_devices::UNKNOWN: one that has not), for driving the parser, the decoder or the
// server by hand.
std::shared_ptr<Channel> idleChannel(int device);
// The same, put in the process-wide channel map under `name`; the caller takes it out.
std::shared_ptr<Channel> putIdleChannel(const std::string& name, int device);
// Empties the process-wide client message queue and returns what it held, oldest first.
std::vector<std::string> takeMessages();

// One figure ("frames", "crc failures", "timeouts"...) of the last whole line of counters
// that `console` holds for `board` ("Counters [ttyUSB0]: frames 6, crc failures 1, ..."), or
// -1 while there is none.
long counterOf(const std::string& console, const std::string& board, const std::string& name);

// A raw pseudo-terminal pair. The master side plays the board; the slave side is what
// the daemon opens (by its path, or through a link in a device directory).
class Pty {
public:
    Pty();
    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }
    // Opens the slave side (raw, non-blocking) and hands over the descriptor.
    FileDescriptor openSlave() const;
    void write(const Bytes& bytes) const;
    // Reads everything the master gets until `timeout` has passed.
    Bytes readFor(std::chrono::milliseconds timeout);
    // Reads until at least `count` bytes arrived or the timeout passed.
    Bytes readAtLeast(std::size_t count, std::chrono::milliseconds timeout = 3000ms);
    // Closes the master side, as when a board's adapter is pulled: the slave side hangs up.
    void close() { master_.reset(); }

private:
    FileDescriptor master_;
    std::string slavePath_;
};

// A temporary directory removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    // A symbolic link name -> target inside the directory (a board plugged in).
    void link(const std::string& name, const std::string& target) const;
    void unlink(const std::string& name) const;

private:
    std::string path_;
};

// This process with only `left` descriptors to spare: its soft RLIMIT_NOFILE lowered and the
// free numbers below it filled with /dev/null. The limit and the numbers are given back when
// it is destroyed. Nothing else in the process should open descriptors meanwhile.
class DescriptorSqueeze {
public:
    explicit DescriptorSqueeze(int left = 0);
    ~DescriptorSqueeze();
    DescriptorSqueeze(const DescriptorSqueeze&) = delete;
    DescriptorSqueeze& operator=(const DescriptorSqueeze&) = delete;
    long limit() const { return limit_; }

private:
    std::vector<FileDescriptor> fillers_;
    long saved_ = 0;
    long limit_ = 0;
};

// A TCP port on 127.0.0.1 that nothing had bound when it was looked at. Nothing holds it
// afterwards: a test running beside this one, or an outgoing connection given it as its local
// port, may take it before it is used. Start the daemon with startDaemon(), which copes.
uint16_t freePort();

// A child process whose standard output and error are collected.
class Process {
public:
    // `env`: "NAME=value" entries set in the child's environment on top of this process's.
    // `openFiles` > 0: the child's RLIMIT_NOFILE (soft and hard), as `ulimit -n` would set it.
    explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     long openFiles = 0);
    ~Process();  // SIGKILL and reap if still running
    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    // Waits until standard output (or error) holds `text`.
    bool waitForOut(const std::string& text, std::chrono::milliseconds timeout = 5000ms) const;
    bool waitForErr(const std::string& text, std::chrono::milliseconds timeout = 5000ms) const;
    // Sends a signal and waits for the exit; returns the exit status (128+signal if killed).
    int stop(int signal = 15);
    // Waits for the process to exit by itself; -1 on timeout.
    int wait(std::chrono::milliseconds timeout = 5000ms);

private:
    void collect(int fd, std::string& into);
    pid_t pid_ = -1;
    int status_ = -1;
    mutable std::mutex mutex_;
    std::string out_, err_;
    std::thread outThread_, errThread_;
};

// The path of the built daemon.
std::string benchdPath();

// The real daemon with `args` and "--port N", returned once it listens, `port` set to N. A
// port from freePort() may be taken by another process before the daemon binds it; the daemon
// then exits at once with "Cant bind socket" and nothing else done (it binds before it opens
// any board), so it is started again on another port, a few times at most. A daemon that
// neither listens nor fails to bind within the wait is returned as it is. Unless `args` name a
// --monitor-port, the daemon opens none. `openFiles` as for Process.
std::unique_ptr<Process> startDaemon(const std::vector<std::string>& args, uint16_t& port,
                                     const std::vector<std::string>& env = {}, long openFiles = 0);

// A service manager's notification socket (a unix datagram socket in a temporary directory):
// start the daemon with NOTIFY_SOCKET=path() and read what it says.
class NotifySocket {
public:
    NotifySocket();
    const std::string& path() const { return path_; }
    // The datagrams received so far, oldest first (reads what is pending first).
    const std::vector<std::string>& messages();
    // How many received datagrams so far contain `text`.
    std::size_t count(const std::string& text);
    // Polls until a datagram containing `text` has come.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 5000ms);

private:
    TempDir dir_;
    std::string path_;
    FileDescriptor fd_;
    std::vector<std::string> messages_;
};

// The real daemon alone on a temporary device directory and a free port, for boards driven
// by hand. Listening once constructed.
struct Daemon {
    Daemon();
    // How often the daemon printed `needle` on standard output so far.
    std::size_t count(const std::string& needle) const {
        return occurrences(process->out(), needle);
    }

    TempDir dir;
    uint16_t port = 0;
    std::unique_ptr<Process> process;
};

// A blocking TCP client on 127.0.0.1.
class TcpClient {
public:
    // Connects, retrying until the timeout (the server may still be starting).
    explicit TcpClient(uint16_t port, std::chrono::milliseconds timeout = 5000ms);
    bool connected() const { return fd_.valid(); }
    void send(const std::string& text) const;
    // Collects received text until it contains `text`; false if it did not come in time.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 5000ms);
    // Everything received so far (reads what is pending first).
    const std::string& received();
    void close() { fd_.reset(); }

private:
    void drain(std::chrono::milliseconds wait);
    FileDescriptor fd_;
    std::string received_;
};

}  // namespace testing_support
