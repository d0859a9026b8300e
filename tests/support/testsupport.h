// The tests' layer over the harness (tests/harness: pseudo-terminals, temporary directories,
// free ports, child processes, TCP clients, frames), under the names the tests use, and what
// only tests need: the real daemon started on a free port, channels without threads, the
// process-wide queues, a squeezed descriptor table, a notification socket.
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
#include "loopback.h"
#include "process.h"
#include "pty.h"
#include "service/filedescriptor.h"
#include "tcpclient.h"
#include "tempdir.h"
#include "wait.h"

class Channel;

namespace testing_support {

using namespace std::chrono_literals;

using harness::ackFrame;
using harness::Bytes;
using harness::dataFrame;
using harness::freePort;
using harness::Process;
using harness::Pty;
using harness::TcpClient;
using harness::TempDir;
using harness::waitUntil;

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

// The path of the built daemon.
std::string benchdPath();

// The real daemon with `args` and "--port N", returned once it listens, `port` set to N. A
// port from freePort() may be taken by another process before the daemon binds it; the daemon
// then exits at once with "Cant bind socket" and nothing else done (it binds before it opens
// any board), so it is started again on another port, a few times at most. A daemon that
// neither listens nor fails to bind within the wait is returned as it is. Unless `args` name a
// --monitor-port, the daemon opens none. `openFiles` as for Process. `wrapper`: a command that
// runs the daemon, given as its arguments (it must exec it, so that the pid is the daemon's).
std::unique_ptr<Process> startDaemon(const std::vector<std::string>& args, uint16_t& port,
                                     const std::vector<std::string>& env = {}, long openFiles = 0,
                                     const std::vector<std::string>& wrapper = {});

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

}  // namespace testing_support
