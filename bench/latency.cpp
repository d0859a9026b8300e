// End-to-end figures of the daemon on this machine: the real binary serving boards played on
// pseudo-terminals and one TCP client, beside a plain pseudo-terminal-to-TCP relay on the same
// path. Prints p50, p90, p99 and max of each latency, the total time of a burst of commands and
// the daemon's CPU time while its boards are quiet.
//
// Then the same report latency with eight observers on the monitor port against none, and
// with the daemon publishing to an MQTT broker against not, and with --capture against without,
// and with `benchctl web` serving 20 viewers against the monitor port unwatched, in alternating
// rounds on a whole simulated bench; and the page's own figures: report -> browser latency and
// benchctl web's CPU with 1 and 20 viewers.
//
//   latency [--samples N] [--batches N] [--idle-seconds N] [--daemon PATH]
//           [--comparison-samples N] [--rounds N] [--comparison-only 1]
//           [--web-samples N] [--page-only 1]
//   latency --relay SLAVE_PATH PORT      (the relay itself, started by the run above)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "broker.h"
#include "frames.h"
#include "protocol/codes.h"
#include "protocol/deviceids.h"
#include "service/filedescriptor.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

using testing_support::ackFrame;
using testing_support::dataFrame;

constexpr int BATCH_SIZE = 100;

double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Polls `condition` until it holds or `deadline` passes.
template <typename Condition>
bool waitUntilTrue(Condition condition, Clock::time_point deadline) {
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

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

// A pseudo-terminal pair: the master plays the board, the daemon opens the slave.
class Pty {
public:
    Pty() {
        int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
            throw std::runtime_error("cannot open a pseudo-terminal");
        }
        master_.reset(fd);
        char name[128];
        if (::ptsname_r(fd, name, sizeof name) != 0) {
            throw std::runtime_error("ptsname failed");
        }
        slavePath_ = name;
        makeRaw(fd);
        // Opened once so that the raw settings stick before the daemon opens it.
        int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave >= 0) {
            makeRaw(slave);
            ::close(slave);
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }

private:
    FileDescriptor master_;
    std::string slavePath_;
};

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "benchd-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    void link(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, path_ + "/" + name);
    }

private:
    std::string path_;
};

uint16_t freePort() {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free port");
    }
    return ntohs(address.sin_port);
}

// A child process with its standard output and error thrown away (the daemon's console lines
// would otherwise cost a pipe and a reader here).
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        // Built before the fork: the child of a threaded process only execs.
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Child() { stop(); }
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        auto deadline = Clock::now() + 5s;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

// One board on a pseudo-terminal. Its thread reads what the host writes, cuts it into frames
// stamped with the time their first byte was read, acknowledges every data frame at once,
// answers version requests and sends its version report once a second (the keep-alive that
// the handshake schedules), and nothing else unless the measurement writes a report.
class Board {
public:
    struct HostFrame {
        Clock::time_point firstByte;
        Clock::time_point acknowledged;  // when this board's ACK for it was written
        unsigned char number, code, access;
        Bytes payload;
    };
    struct Ack {
        Clock::time_point at;
        unsigned char number;
    };

    explicit Board(unsigned char device) : device_(device) {
        thread_ = std::thread([this] { run(); });
    }
    ~Board() {
        stop_.store(true);
        thread_.join();
    }
    const Pty& pty() const { return pty_; }

    // Writes a frame; returns the time its last byte was handed to the line.
    Clock::time_point send(const Bytes& frame) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        writeAll(pty_.master(), frame.data(), frame.size());
        return Clock::now();
    }
    unsigned char nextNumber() { return counter_.fetch_add(1); }

    std::size_t frameCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }
    std::size_t ackCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return acks_.size();
    }
    Clock::time_point lastFrameAt() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.empty() ? Clock::time_point{} : frames_.back().firstByte;
    }
    // Waits until `pred` holds over the frames and ACKs received so far.
    bool waitUntil(
        const std::function<bool(const std::vector<HostFrame>&, const std::vector<Ack>&)>& pred,
        Clock::time_point deadline) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return pred(frames_, acks_); });
    }
    std::vector<HostFrame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    void run() {
        auto nextReport = Clock::now();
        unsigned char buffer[4096];
        while (!stop_.load()) {
            auto now = Clock::now();
            if (now >= nextReport) {
                send(dataFrame(nextNumber(), codes::VERSION, 1, {1, 0, 0, device_}));
                nextReport = now + 1s;
            }
            auto wait = std::min<Clock::duration>(nextReport - now, 100ms);
            pollfd p{pty_.master(), POLLIN, 0};
            int ready = ::poll(
                &p, 1,
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
            if (ready <= 0) {
                continue;
            }
            Clock::time_point at = Clock::now();
            ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n <= 0) {
                // No slave open right now (EIO): nothing to read.
                std::this_thread::sleep_for(2ms);
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                pending_.push_back({buffer[i], at});
            }
            cut();
        }
    }

    void cut() {
        while (pending_.size() >= 3) {
            if (pending_[0].first != 0xA5 || pending_[1].first != 0xA5) {
                pending_.pop_front();
                continue;
            }
            unsigned char kind = pending_[2].first;
            std::size_t size = kind == 0x33           ? 5
                               : kind != 0x0F         ? 1
                               : pending_.size() >= 7 ? pending_[6].first + 8u
                                                      : 0;
            if (kind != 0x33 && kind != 0x0F) {
                pending_.pop_front();
                continue;
            }
            if (size == 0 || pending_.size() < size) {
                return;
            }
            Bytes frame;
            for (std::size_t i = 0; i < size; ++i) {
                frame.push_back(pending_[i].first);
            }
            Clock::time_point first = pending_[0].second;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
            if (kind == 0x33) {
                std::lock_guard<std::mutex> lock(mutex_);
                acks_.push_back({first, frame[3]});
            } else {
                // The host's frame is acknowledged before anything else happens.
                Clock::time_point acknowledged = send(ackFrame(frame[3]));
                if (frame[4] == codes::VERSION && frame[5] == 2) {
                    send(dataFrame(nextNumber(), codes::VERSION, 1, {1, 0, 0, device_}));
                }
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back({first, acknowledged, frame[3], frame[4], frame[5],
                                   Bytes(frame.begin() + 7, frame.end() - 1)});
            }
            changed_.notify_all();
        }
    }

    const unsigned char device_;
    Pty pty_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned char> counter_{0};
    std::mutex writeMutex_;
    std::deque<std::pair<unsigned char, Clock::time_point>> pending_;  // board thread only
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<HostFrame> frames_;  // guarded by mutex_
    std::vector<Ack> acks_;          // guarded by mutex_
    std::thread thread_;
};

// The client: sends settings and records every ";"-terminated message (and every received
// byte) with the time it was read.
// A TCP connection to the loopback `port`, tried every 20 ms until `timeout` has passed (the
// server may still be starting); invalid when none was made.
FileDescriptor connectLoopback(uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
        std::this_thread::sleep_for(20ms);
    }
    return FileDescriptor();
}

class Client {
public:
    struct Message {
        std::string text;
        Clock::time_point at;
    };

    Client(uint16_t port, std::chrono::milliseconds timeout) : fd_(connectLoopback(port, timeout)) {
        if (!fd_.valid()) {
            throw std::runtime_error("cannot connect to port " + std::to_string(port));
        }
        int one = 1;
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        thread_ = std::thread([this] { run(); });
    }
    ~Client() {
        stop_.store(true);
        thread_.join();
    }

    Clock::time_point send(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::send(fd_.get(), text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error("send failed");
            }
            done += static_cast<std::size_t>(n);
        }
        return Clock::now();
    }
    std::size_t messageCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }
    std::size_t countStartingWith(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(messages_.begin(), messages_.end(),
                          [&](const Message& m) { return m.text.rfind(prefix, 0) == 0; }));
    }
    std::size_t byteCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    // The time the message `text` arrived, looking from index `from` on.
    bool waitForMessage(const std::string& text, std::size_t from, Clock::time_point deadline,
                        Clock::time_point& at) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            for (std::size_t i = from; i < messages_.size(); ++i) {
                if (messages_[i].text == text) {
                    at = messages_[i].at;
                    return true;
                }
            }
            return false;
        });
    }
    // The time the received byte count reached `count`.
    bool waitForBytes(std::size_t count, Clock::time_point deadline, Clock::time_point& at) const {
        std::unique_lock<std::mutex> lock(mutex_);
        bool reached = changed_.wait_until(lock, deadline, [&] { return bytes_ >= count; });
        at = lastChunkAt_;
        return reached;
    }

private:
    void run() {
        char buffer[4096];
        std::string partial;
        while (!stop_.load()) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            Clock::time_point at = Clock::now();
            ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0) {
                    return;
                }
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_ += static_cast<std::size_t>(n);
            lastChunkAt_ = at;
            for (ssize_t i = 0; i < n; ++i) {
                partial += buffer[i];
                if (buffer[i] == ';') {
                    messages_.push_back({partial, at});
                    partial.clear();
                }
            }
            changed_.notify_all();
        }
    }

    FileDescriptor fd_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;  // guarded by mutex_
    std::size_t bytes_ = 0;          // guarded by mutex_
    Clock::time_point lastChunkAt_;  // guarded by mutex_
    std::thread thread_;
};

struct Figures {
    std::vector<double> ms;
    int lost = 0;

    double percentile(double p) const {
        if (ms.empty()) {
            return 0;
        }
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        // Nearest rank.
        std::size_t rank = static_cast<std::size_t>(std::ceil(p * sorted.size()));
        return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
    }
    double max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

void printRow(const std::string& name, const Figures& figures, const std::string& goal) {
    std::printf("| %-44s | %9.3f | %9.3f | %9.3f | %9.3f | %6zu | %-12s |", name.c_str(),
                figures.percentile(0.50), figures.percentile(0.90), figures.percentile(0.99),
                figures.max(), figures.ms.size(), goal.c_str());
    if (figures.lost > 0) {
        std::printf(" %d lost", figures.lost);
    }
    std::printf("\n");
}

struct Options {
    int samples = 1000;
    int batches = 20;
    int idleSeconds = 10;
    std::string daemon = BENCHD_BINARY;  // another build of the daemon, to compare
    std::string benchsim = BENCHSIM_BINARY;
    std::string benchctl = BENCHCTL_BINARY;
    int webSamples = 150;          // report -> browser, each 150 to 250 ms apart
    int comparisonSamples = 6000;  // per side of an A/B comparison
    int rounds = 12;               // of each side, alternating
    bool comparisonOnly = false;
    bool pageOnly = false;
};

// Random pauses between samples, so that samples do not keep one phase against a polling
// loop's period.
class Gaps {
public:
    void pause() { std::this_thread::sleep_for(std::chrono::microseconds(spread_(random_))); }

private:
    std::mt19937 random_{20150};
    std::uniform_int_distribution<int> spread_{0, 10000};
};

std::unique_ptr<Child> startDaemon(const Options& options, uint16_t port,
                                   const std::string& devDir) {
    return std::make_unique<Child>(std::vector<std::string>{options.daemon, "--port",
                                                            std::to_string(port), "--dev-dir",
                                                            devDir, "--monitor-port", "0"});
}

// Waits until every schedule entry of the stand has reached the board.
bool waitConfigured(const Board& board, std::chrono::seconds timeout) {
    return board.waitUntil(
        [](const std::vector<Board::HostFrame>& frames, const std::vector<Board::Ack>&) {
            // The stand's schedule ends with the entry for report 15.
            for (const Board::HostFrame& frame : frames) {
                if (frame.code == codes::SCHEDULE && frame.payload.size() == 7 &&
                    frame.payload[1] == codes::UNDECODED_15) {
                    return true;
                }
            }
            return false;
        },
        Clock::now() + timeout);
}

// The same path without the daemon: a relay process that copies its pseudo-terminal's bytes
// to its TCP client as soon as they arrive.
class Relay {
public:
    explicit Relay(const std::string& self)
        : port_(freePort()),
          child_({self, "--relay", pty_.slavePath(), std::to_string(port_)}),
          client_(port_, 5000ms) {}

    // One frame of the size of the daemon's report, from the line to the client.
    void sample(Figures& figures) {
        Bytes frame = dataFrame(number_, codes::ROTATION_ACTIVE, 1, {number_});
        ++number_;
        std::size_t target = client_.byteCount() + frame.size();
        writeAll(pty_.master(), frame.data(), frame.size());
        Clock::time_point sent = Clock::now();
        Clock::time_point received;
        if (client_.waitForBytes(target, sent + 2s, received)) {
            figures.ms.push_back(millis(received - sent));
        } else {
            ++figures.lost;
        }
    }

private:
    Pty pty_;
    uint16_t port_;
    Child child_;
    Client client_;
    unsigned char number_ = 0;
};

struct LatencyFigures {
    Figures report, ack, setting, batch, relay;
};

LatencyFigures measureDaemon(const Options& options, const std::string& self) {
    LatencyFigures figures;
    TempDir dir;
    Board board(known_devices::STAND);
    dir.link("ttyUSB0", board.pty().slavePath());
    uint16_t port = freePort();
    auto daemon = startDaemon(options, port, dir.path());
    Client client(port, 5000ms);
    Clock::time_point at;
    if (!client.waitForMessage("device_connected:61;", 0, Clock::now() + 20s, at) ||
        !waitConfigured(board, 10s)) {
        throw std::runtime_error("the stand was not identified and configured");
    }
    std::this_thread::sleep_for(200ms);
    Gaps gaps;
    Relay relay(self);

    // A board's report until the client has its message; its ACK on the line, same round. The
    // relay's samples are taken in turn with these, so that both meet the same machine.
    for (int i = 0; i < options.samples; ++i) {
        gaps.pause();
        if (i % 2 == 0) {
            relay.sample(figures.relay);
            gaps.pause();
        }
        unsigned char value = static_cast<unsigned char>(i % 200);
        unsigned char number = board.nextNumber();
        std::size_t messages = client.messageCount();
        std::size_t acks = board.ackCount();
        Clock::time_point sent = board.send(dataFrame(number, codes::ROTATION_ACTIVE, 1, {value}));
        Clock::time_point acked;
        bool gotAck = board.waitUntil(
            [&](const std::vector<Board::HostFrame>&, const std::vector<Board::Ack>& all) {
                for (std::size_t k = acks; k < all.size(); ++k) {
                    if (all[k].number == number) {
                        acked = all[k].at;
                        return true;
                    }
                }
                return false;
            },
            sent + 2s);
        Clock::time_point received;
        bool gotMessage = client.waitForMessage("device_active:" + std::to_string(value) + ";",
                                                messages, sent + 2s, received);
        if (gotAck) {
            figures.ack.ms.push_back(millis(acked - sent));
        } else {
            ++figures.ack.lost;
        }
        if (gotMessage) {
            figures.report.ms.push_back(millis(received - sent));
        } else {
            ++figures.report.lost;
        }
        if (i % 2 == 1) {
            gaps.pause();
            relay.sample(figures.relay);
        }
    }

    // A client's setting until the first byte of its command frame is on the board's line.
    for (int i = 0; i < options.samples; ++i) {
        gaps.pause();
        std::size_t before = board.frameCount();
        Clock::time_point sent = client.send("device_fan:" + std::to_string(i % 2) + ";");
        Clock::time_point arrived;
        bool got = board.waitUntil(
            [&](const std::vector<Board::HostFrame>& frames, const std::vector<Board::Ack>&) {
                for (std::size_t k = before; k < frames.size(); ++k) {
                    if (frames[k].code == codes::STAND_SWITCH) {
                        arrived = frames[k].firstByte;
                        return true;
                    }
                }
                return false;
            },
            sent + 2s);
        if (got) {
            figures.setting.ms.push_back(millis(arrived - sent));
        } else {
            ++figures.setting.lost;
        }
    }

    // 100 settings in one segment until the board has acknowledged the 100th command.
    std::string burst;
    for (int i = 0; i < BATCH_SIZE; ++i) {
        burst += "device_fan:" + std::to_string(i % 2) + ";";
    }
    for (int b = 0; b < options.batches; ++b) {
        std::this_thread::sleep_for(50ms);
        std::size_t before = board.frameCount();
        Clock::time_point sent = client.send(burst);
        Clock::time_point last;
        bool got = board.waitUntil(
            [&](const std::vector<Board::HostFrame>& frames, const std::vector<Board::Ack>&) {
                int seen = 0;
                for (std::size_t k = before; k < frames.size(); ++k) {
                    if (frames[k].code == codes::STAND_SWITCH && ++seen == BATCH_SIZE) {
                        last = frames[k].acknowledged;
                        return true;
                    }
                }
                return false;
            },
            sent + 20s);
        if (got) {
            figures.batch.ms.push_back(millis(last - sent));
        } else {
            ++figures.batch.lost;
        }
    }
    return figures;
}

// An A/B comparison of the report -> control client latency. Each side is a daemon with extra
// arguments and company that joins it for its rounds (observers, a subscriber); the sides are
// measured in alternating rounds (A B, B A, A B, ...) so that the machine's drift lands on
// both alike. Every round starts afresh: the measured stand on ttyUSB0 and simulated boards
// streaming a whole bench's telemetry on ttyUSB1-3 (an injector tester recording
// oscillograms, a flowmeter, a delay meter), set going by the control client as an operator
// would, then the side's company joins, then the samples.
struct Side {
    std::string name;
    // The daemon's extra arguments; `spare` is a free port the side may use.
    std::function<std::vector<std::string>(uint16_t spare)> arguments;
    // What joins the daemon for the round, kept until its samples are taken (may be empty).
    std::function<std::shared_ptr<void>(uint16_t spare, Board& stand)> join;
};

struct Comparison {
    std::string aName, bName;
    Figures a, b;
    // The daemon's CPU time over the sampling windows of each side, and the windows' length.
    double aCpuSeconds = 0, bCpuSeconds = 0, aSeconds = 0, bSeconds = 0;
};

uint64_t threadCpuNanos(pid_t pid);
uint64_t processTicks(pid_t pid);

// The settings that set the simulated bench going (as tools/demo.sh sends them).
const char* const BENCH_SETTINGS =
    "device_active:1;device_rpm:1500;device_fan:1;device_pump:1;device_temperature:40;"
    "injector_active:1;injector_i1:20;injector_i2:12;osc:1;regulator1_active:1;"
    "regulator1_current:1.5;regulator2_active:1;regulator2_duty_cycle:35.5;"
    "leakage_max_time:8000;flowmeter_reset:1;delaymeter_reset:1;injector_status:1;";

void measureRound(const Options& options, const Side& side, Figures& into, int samples, Gaps& gaps,
                  double& cpuSeconds, double& seconds) {
    TempDir dir;
    Board board(known_devices::STAND);
    dir.link("ttyUSB0", board.pty().slavePath());
    Child sim({options.benchsim, "--dir", dir.path(), "crit=ttyUSB1", "flowmeter=ttyUSB2",
               "delaymeter=ttyUSB3"});
    const auto linked = Clock::now() + 10s;
    while (!std::filesystem::exists(dir.path() + "/ttyUSB3")) {
        if (Clock::now() > linked) {
            throw std::runtime_error("the simulated boards did not appear");
        }
        std::this_thread::sleep_for(20ms);
    }
    const uint16_t port = freePort();
    const uint16_t spare = freePort();
    std::vector<std::string> argv{options.daemon, "--port", std::to_string(port), "--dev-dir",
                                  dir.path()};
    const std::vector<std::string> extra = side.arguments(spare);
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child daemon(argv);
    Client client(port, 5000ms);
    Clock::time_point at;
    const auto identified = Clock::now() + 30s;
    if (!client.waitForMessage("device_connected:61;", 0, identified, at) ||
        !waitConfigured(board, 10s) ||
        !waitUntilTrue([&] { return client.countStartingWith("device_connected:") >= 4; },
                       identified)) {
        throw std::runtime_error("the bench was not identified and configured");
    }
    client.send(BENCH_SETTINGS);
    if (!waitUntilTrue([&] { return client.countStartingWith("injector_chart") >= 2; },
                       Clock::now() + 20s)) {
        throw std::runtime_error("the injector tester drew no chart");
    }
    std::shared_ptr<void> company = side.join ? side.join(spare, board) : nullptr;
    std::this_thread::sleep_for(500ms);
    const Clock::time_point start = Clock::now();
    const uint64_t cpuAtStart = threadCpuNanos(daemon.pid());
    for (int i = 0; i < samples; ++i) {
        gaps.pause();
        const unsigned char value = static_cast<unsigned char>(i % 200);
        const std::size_t messages = client.messageCount();
        const Clock::time_point sent =
            board.send(dataFrame(board.nextNumber(), codes::ROTATION_ACTIVE, 1, {value}));
        Clock::time_point received;
        if (client.waitForMessage("device_active:" + std::to_string(value) + ";", messages,
                                  sent + 2s, received)) {
            into.ms.push_back(millis(received - sent));
        } else {
            ++into.lost;
        }
    }
    cpuSeconds += static_cast<double>(threadCpuNanos(daemon.pid()) - cpuAtStart) / 1e9;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

Comparison compareRounds(const Options& options, const Side& a, const Side& b) {
    Comparison figures;
    figures.aName = a.name;
    figures.bName = b.name;
    Gaps gaps;
    const int perRound = std::max(1, options.comparisonSamples / options.rounds);
    for (int round = 0; round < options.rounds; ++round) {
        const bool aFirst = round % 2 == 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool isA = (turn == 0) == aFirst;
            measureRound(options, isA ? a : b, isA ? figures.a : figures.b, perRound, gaps,
                         isA ? figures.aCpuSeconds : figures.bCpuSeconds,
                         isA ? figures.aSeconds : figures.bSeconds);
        }
    }
    return figures;
}

// Observers: eight on the monitor port, seven reading and one that never reads (its socket
// and buffer full, losing messages), against the daemon without a monitor port at all.
Comparison measureObservers(const Options& options) {
    const Side alone{"no monitor port",
                     [](uint16_t) {
                         return std::vector<std::string>{"--monitor-port", "0"};
                     },
                     nullptr};
    const Side watched{
        "8 observers (1 not reading)",
        [](uint16_t spare) {
            // A buffer small enough for the stalled observer to be losing messages throughout.
            return std::vector<std::string>{"--monitor-port", std::to_string(spare),
                                            "--monitor-buffer", "65536"};
        },
        [](uint16_t spare, Board& stand) -> std::shared_ptr<void> {
            struct Observers {
                std::vector<std::unique_ptr<Client>> readers;
                FileDescriptor stalled;
            };
            auto observers = std::make_shared<Observers>();
            for (int k = 0; k < 7; ++k) {
                observers->readers.push_back(std::make_unique<Client>(spare, 5000ms));
            }
            observers->stalled.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            int small = 4096;
            ::setsockopt(observers->stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(spare);
            if (::connect(observers->stalled.get(), reinterpret_cast<sockaddr*>(&address),
                          sizeof address) != 0) {
                throw std::runtime_error("cannot connect to the monitor port");
            }
            // Enough reports to fill the stalled observer's socket and buffer at once.
            Bytes burst;
            for (int i = 0; i < 6000; ++i) {
                Bytes frame = dataFrame(stand.nextNumber(), codes::ROTATION_ACTIVE, 1,
                                        {static_cast<unsigned char>(i % 200)});
                burst.insert(burst.end(), frame.begin(), frame.end());
            }
            stand.send(burst);
            std::this_thread::sleep_for(1s);
            return observers;
        }};
    return compareRounds(options, alone, watched);
}

// Fleet telemetry: the daemon publishing every message to an MQTT broker on this machine (a
// subscriber taking every topic), against the daemon without --mqtt.
Comparison measureMqtt(const Options& options) {
    mqtt_support::Broker broker;
    mqtt_support::Subscriber everything(broker.port(), "#");
    const std::string url = broker.url();
    const Side off{"no MQTT",
                   [](uint16_t) {
                       return std::vector<std::string>{"--monitor-port", "0"};
                   },
                   nullptr};
    const Side on{"publishing to MQTT",
                  [&url](uint16_t) {
                      return std::vector<std::string>{"--monitor-port", "0",      "--mqtt", url,
                                                      "--bench",        "latency"};
                  },
                  nullptr};
    Comparison figures = compareRounds(options, off, on);
    if (everything.total() == 0) {
        throw std::runtime_error("the subscriber received nothing from the daemon with --mqtt");
    }
    return figures;
}

// Capture: the daemon recording every frame and client message to a pcap file in a temporary
// directory, against the daemon without --capture.
Comparison measureCapture(const Options& options) {
    TempDir files;
    const std::string file = files.path() + "/bench.pcap";
    const Side off{"no capture",
                   [](uint16_t) {
                       return std::vector<std::string>{"--monitor-port", "0"};
                   },
                   nullptr};
    const Side on{"capture on",
                  [&file](uint16_t) {
                      return std::vector<std::string>{"--monitor-port", "0", "--capture", file};
                  },
                  nullptr};
    Comparison figures = compareRounds(options, off, on);
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 || status.st_size <= 24) {
        throw std::runtime_error("the daemon with --capture wrote no records");
    }
    return figures;
}

// A browser's live stream from benchctl web, read by a thread of its own as a page would:
// `GET /events`, then every event. Tells when the stand's speed `value` reached it.
class Viewer {
public:
    explicit Viewer(uint16_t port) : fd_(connectLoopback(port, 10s)) {
        const std::string request = "GET /events HTTP/1.1\r\nHost: bench\r\n\r\n";
        if (!fd_.valid() || ::send(fd_.get(), request.data(), request.size(), MSG_NOSIGNAL) <= 0) {
            throw std::runtime_error("cannot open the page's event stream");
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Viewer() {
        stop_.store(true);
        thread_.join();
    }
    // Waits for the speed event "text":"<speed> rpm" that arrived after `sent`, until
    // `deadline`; when it came.
    bool waitForSpeed(long speed, Clock::time_point sent, Clock::time_point deadline,
                      Clock::time_point& at) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::string text = "\"text\":\"" + std::to_string(speed) + " rpm\"";
        return arrived_.wait_until(lock, deadline, [&] {
            auto found = speeds_.find(text);
            if (found == speeds_.end() || found->second < sent) {
                return false;  // not yet, or an earlier round of the same speed
            }
            at = found->second;
            return true;
        });
    }

private:
    void run() {
        std::string pending;
        char buffer[65536];
        while (!stop_.load()) {
            pollfd entry{fd_.get(), POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                return;
            }
            const Clock::time_point at = Clock::now();
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t end = pending.rfind('\n');
            if (end == std::string::npos) {
                continue;
            }
            // Each event is one line of JSON; the speed's carry its key and its text.
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::size_t line = 0; line < end;) {
                std::size_t stop = pending.find('\n', line);
                const std::string text = pending.substr(line, stop - line);
                if (text.find("\"key\":\"device_rpm\"") != std::string::npos) {
                    std::size_t t = text.find("\"text\":\"", text.find("\"key\":\"device_rpm\""));
                    if (t != std::string::npos) {
                        speeds_[text.substr(t, text.find('"', t + 8) + 1 - t)] = at;
                        if (speeds_.size() > 4096) {
                            speeds_.erase(speeds_.begin());
                        }
                    }
                }
                line = stop + 1;
            }
            pending.erase(0, end + 1);
            arrived_.notify_all();
        }
    }

    FileDescriptor fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<std::string, Clock::time_point> speeds_;
};

// benchctl web serving its page on a free port, watching the monitor port `monitorPort`.
struct Page {
    Page(const Options& options, uint16_t monitorPort)
        : port(freePort()),
          child({options.benchctl, "web", "--listen", "127.0.0.1:" + std::to_string(port),
                 "--monitor", "127.0.0.1:" + std::to_string(monitorPort)}) {}
    uint16_t port;
    Child child;
};

// The stand's speed report, `speed` in the stand's 4 bytes.
Bytes speedReport(Board& stand, long speed) {
    Bytes payload(4);
    for (int i = 0; i < 4; ++i) {
        payload[i] = static_cast<unsigned char>(speed >> (24 - 8 * i));
    }
    return dataFrame(stand.nextNumber(), codes::ROTATION_SPEED, 1, payload);
}

struct WebFigures {
    Figures toBrowser1, toBrowser20;
    double cpu1 = 0, cpu20 = 0;  // % of one core
    int seconds = 0;
};

// The page's own figures on a whole simulated bench: report -> browser latency (each sample
// spaced past the page's 100 ms pace per key, so the pace does not count) and benchctl web's
// CPU with 1 and with 20 viewers.
WebFigures measureWeb(const Options& options) {
    TempDir dir;
    Board board(known_devices::STAND);
    dir.link("ttyUSB0", board.pty().slavePath());
    Child sim({options.benchsim, "--dir", dir.path(), "crit=ttyUSB1", "flowmeter=ttyUSB2",
               "delaymeter=ttyUSB3"});
    if (!waitUntilTrue([&] { return std::filesystem::exists(dir.path() + "/ttyUSB3"); },
                       Clock::now() + 10s)) {
        throw std::runtime_error("the simulated boards did not appear");
    }
    const uint16_t port = freePort();
    const uint16_t monitorPort = freePort();
    Child daemon({options.daemon, "--port", std::to_string(port), "--dev-dir", dir.path(),
                  "--monitor-port", std::to_string(monitorPort)});
    Client client(port, 5000ms);
    if (!waitConfigured(board, 30s) ||
        !waitUntilTrue([&] { return client.countStartingWith("device_connected:") >= 4; },
                       Clock::now() + 30s)) {
        throw std::runtime_error("the bench was not identified and configured");
    }
    client.send(BENCH_SETTINGS);
    Page page(options, monitorPort);
    std::vector<std::unique_ptr<Viewer>> viewers;
    viewers.push_back(std::make_unique<Viewer>(page.port));
    std::this_thread::sleep_for(1s);

    WebFigures figures;
    figures.seconds = options.idleSeconds;
    const long tick = ::sysconf(_SC_CLK_TCK);
    auto cpuPercent = [&] {
        const uint64_t before = processTicks(page.child.pid());
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return 100.0 * static_cast<double>(processTicks(page.child.pid()) - before) / tick /
               seconds;
    };
    std::mt19937 random(2015);
    std::uniform_int_distribution<int> spread(150, 250);
    long speed = 1000;
    auto samples = [&](Figures& into) {
        for (int i = 0; i < options.webSamples; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(spread(random)));
            speed = speed >= 1900 ? 1000 : speed + 17;  // never steady: the motor guard stays off
            const Clock::time_point sent = board.send(speedReport(board, speed));
            Clock::time_point at;
            if (viewers.front()->waitForSpeed(speed, sent, sent + 2s, at)) {
                into.ms.push_back(millis(at - sent));
            } else {
                ++into.lost;
            }
        }
    };
    figures.cpu1 = cpuPercent();
    samples(figures.toBrowser1);
    for (int i = 1; i < 20; ++i) {
        viewers.push_back(std::make_unique<Viewer>(page.port));
    }
    std::this_thread::sleep_for(1s);
    figures.cpu20 = cpuPercent();
    samples(figures.toBrowser20);
    return figures;
}

// The page: benchctl web with 20 viewers reading its events, against the monitor port open
// and nobody watching it.
Comparison measurePage(const Options& options) {
    const Side plain{"monitor port, no page",
                     [](uint16_t spare) {
                         return std::vector<std::string>{"--monitor-port", std::to_string(spare)};
                     },
                     nullptr};
    const Side page{
        "benchctl web, 20 viewers",
        [](uint16_t spare) {
            return std::vector<std::string>{"--monitor-port", std::to_string(spare)};
        },
        [&options](uint16_t spare, Board&) -> std::shared_ptr<void> {
            struct Company {
                std::unique_ptr<Page> page;
                std::vector<std::unique_ptr<Viewer>> viewers;
            };
            auto company = std::make_shared<Company>();
            company->page = std::make_unique<Page>(options, spare);
            for (int k = 0; k < 20; ++k) {
                company->viewers.push_back(std::make_unique<Viewer>(company->page->port));
            }
            std::this_thread::sleep_for(1s);
            return company;
        }};
    return compareRounds(options, plain, page);
}

int relayMain(const std::string& slavePath, uint16_t port) {
    FileDescriptor line(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!line.valid() || !listener.valid()) {
        return 1;
    }
    makeRaw(line.get());
    int one = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 1) != 0) {
        return 1;
    }
    FileDescriptor client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.valid()) {
        return 1;
    }
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char buffer[4096];
    while (true) {
        pollfd p{line.get(), POLLIN, 0};
        if (::poll(&p, 1, -1) <= 0) {
            continue;
        }
        ssize_t n = ::read(line.get(), buffer, sizeof buffer);
        if (n <= 0) {
            return 0;
        }
        if (::send(client.get(), buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
            return 0;
        }
    }
}

// CPU time of every thread of the process in nanoseconds (the scheduler's own account).
uint64_t threadCpuNanos(pid_t pid) {
    uint64_t total = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path() / "schedstat");
        uint64_t running = 0;
        if (in >> running) {
            total += running;
        }
    }
    return total;
}

// utime + stime of the process in clock ticks, from /proc/<pid>/stat.
uint64_t processTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    // Fields 3 to 13, then utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i) {
        rest >> field;
    }
    rest >> utime >> stime;
    return utime + stime;
}

struct IdleFigures {
    double percent = 0;          // from schedstat
    double tickPercent = 0;      // from utime + stime
    std::size_t hostFrames = 0;  // frames the daemon wrote during the window
    int threads = 0;
};

IdleFigures measureIdle(const Options& options) {
    const unsigned char types[8] = {33, 34, 61, 62, 12, 5, 12, 34};
    TempDir dir;
    std::vector<std::unique_ptr<Board>> boards;
    for (int i = 0; i < 8; ++i) {
        boards.push_back(std::make_unique<Board>(types[i]));
        dir.link("ttyUSB" + std::to_string(i), boards.back()->pty().slavePath());
    }
    uint16_t port = freePort();
    auto daemon = startDaemon(options, port, dir.path());
    Client client(port, 5000ms);
    // Every board identified, then quiet: its schedule written and nothing more coming.
    auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline) {
        auto lastFrame = Clock::time_point{};
        for (const auto& board : boards) {
            lastFrame = std::max(lastFrame, board->lastFrameAt());
        }
        if (client.countStartingWith("device_connected:") >= 8 &&
            Clock::now() - lastFrame > 1500ms) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    if (Clock::now() >= deadline) {
        throw std::runtime_error("the eight boards did not settle");
    }
    std::size_t framesBefore = 0;
    for (const auto& board : boards) {
        framesBefore += board->frameCount();
    }
    IdleFigures figures;
    uint64_t cpu0 = threadCpuNanos(daemon->pid());
    uint64_t ticks0 = processTicks(daemon->pid());
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
    uint64_t cpu1 = threadCpuNanos(daemon->pid());
    uint64_t ticks1 = processTicks(daemon->pid());
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::size_t framesAfter = 0;
    for (const auto& board : boards) {
        framesAfter += board->frameCount();
    }
    figures.percent = 100.0 * static_cast<double>(cpu1 - cpu0) / 1e9 / seconds;
    figures.tickPercent = 100.0 * static_cast<double>(ticks1 - ticks0) /
                          static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
    figures.hostFrames = framesAfter - framesBefore;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(daemon->pid()) + "/task")) {
        (void)entry;
        ++figures.threads;
    }
    return figures;
}

std::string machine() {
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname name{};
    ::uname(&name);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " +
           name.release;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--daemon") {
            options.daemon = argv[i + 1];
            continue;
        }
        int value = std::atoi(argv[i + 1]);
        if (value <= 0) {
            throw std::runtime_error("bad value for " + flag);
        }
        if (flag == "--samples") {
            options.samples = value;
        } else if (flag == "--batches") {
            options.batches = value;
        } else if (flag == "--idle-seconds") {
            options.idleSeconds = value;
        } else if (flag == "--comparison-samples") {
            options.comparisonSamples = value;
        } else if (flag == "--rounds") {
            options.rounds = value;
        } else if (flag == "--comparison-only") {
            options.comparisonOnly = true;
        } else if (flag == "--page-only") {
            options.pageOnly = true;
        } else if (flag == "--web-samples") {
            options.webSamples = value;
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    return options;
}

void printHeader() {
    std::printf("| %-44s | %9s | %9s | %9s | %9s | %6s | %-12s |\n", "figure (ms)", "p50", "p90",
                "p99", "max", "n", "goal");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
                std::string(11, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(11, '-').c_str(),
                std::string(8, '-').c_str(), std::string(14, '-').c_str());
}

// Both sides of an A/B comparison of the report -> client latency, and their ratios.
void printComparison(const Options& options, const std::string& what,
                     const Comparison& comparison) {
    printRow("report -> client, A: " + comparison.aName, comparison.a, "");
    printRow("report -> client, B: " + comparison.bName, comparison.b, "");
    std::printf(
        "report -> client with %s / without (B/A), %d alternating rounds of each on a "
        "streaming bench: p50 %.2f, p99 %.2f (goal <= 1.10)\n",
        what.c_str(), options.rounds, comparison.b.percentile(0.5) / comparison.a.percentile(0.5),
        comparison.b.percentile(0.99) / comparison.a.percentile(0.99));
    std::printf(
        "daemon CPU while sampling (all threads, schedstat): A %.1f %%, B %.1f %% of one "
        "core\n",
        100 * comparison.aCpuSeconds / comparison.aSeconds,
        100 * comparison.bCpuSeconds / comparison.bSeconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--relay") {
        return relayMain(argv[2], static_cast<uint16_t>(std::atoi(argv[3])));
    }
    ::signal(SIGPIPE, SIG_IGN);
    try {
        Options options = parse(argc, argv);
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::printf("benchd latency: %s\n", machine().c_str());
        std::printf("daemon: %s\n", options.daemon.c_str());
        std::printf(
            "%d samples per latency (0 to 10 ms apart), %d bursts of %d commands, "
            "%d s idle\n\n",
            options.samples, options.batches, BATCH_SIZE, options.idleSeconds);
        std::fflush(stdout);

        auto printPage = [&options](const WebFigures& web, const Comparison& page) {
            printHeader();
            printRow("report -> browser event, 1 viewer", web.toBrowser1, "");
            printRow("report -> browser event, 20 viewers", web.toBrowser20, "");
            std::printf(
                "\nbenchctl web CPU over %d s on the simulated bench: %.2f %% of one core with 1 "
                "viewer, %.2f %% with 20 (utime+stime)\n\n",
                web.seconds, web.cpu1, web.cpu20);
            printHeader();
            printComparison(options, "benchctl web and 20 viewers", page);
        };
        if (options.pageOnly) {
            const WebFigures web = measureWeb(options);
            const Comparison page = measurePage(options);
            printPage(web, page);
            return 0;
        }
        if (options.comparisonOnly) {
            const Comparison observers = measureObservers(options);
            const Comparison mqtt = measureMqtt(options);
            const Comparison capture = measureCapture(options);
            printHeader();
            printComparison(options, "8 observers (one not reading)", observers);
            printComparison(options, "MQTT publishing", mqtt);
            printComparison(options, "capture on", capture);
            return 0;
        }
        LatencyFigures daemon = measureDaemon(options, self);
        const Figures& relay = daemon.relay;
        IdleFigures idle = measureIdle(options);
        const Comparison observers = measureObservers(options);
        const Comparison mqtt = measureMqtt(options);
        const Comparison capture = measureCapture(options);
        const WebFigures web = measureWeb(options);
        const Comparison page = measurePage(options);

        printHeader();
        printRow("board report -> client has the message", daemon.report, "p99 < 1");
        printRow("client setting -> command frame on the line", daemon.setting, "p99 < 1");
        printRow("board data frame -> its ACK on the line", daemon.ack, "p99 < 0.5");
        printRow("100 commands acknowledged at once (total)", daemon.batch, "< 100");
        printRow("plain relay: pty -> TCP client (same rounds)", relay, "");
        std::printf("\nreport -> client / plain relay: p50 %.2f, p90 %.2f, p99 %.2f (goal <= 2)\n",
                    daemon.report.percentile(0.5) / relay.percentile(0.5),
                    daemon.report.percentile(0.9) / relay.percentile(0.9),
                    daemon.report.percentile(0.99) / relay.percentile(0.99));
        std::printf(
            "idle CPU, 8 configured boards sending only their 1 s version report, "
            "client connected, %d s: %.3f %% of one core (schedstat; utime+stime: "
            "%.2f %%), %d threads, %zu frames written by the daemon in the window "
            "(goal < 0.2 %%)\n\n",
            options.idleSeconds, idle.percent, idle.tickPercent, idle.threads, idle.hostFrames);
        printHeader();
        printComparison(options, "8 observers (one not reading)", observers);
        printComparison(options, "MQTT publishing", mqtt);
        printComparison(options, "capture on", capture);
        std::printf("\n");
        printPage(web, page);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "latency: %s\n", error.what());
        return 1;
    }
    return 0;
}
