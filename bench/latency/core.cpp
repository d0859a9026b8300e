// The daemon alone with one stand and its client, beside a plain relay on the same path; and
// the daemon idle with eight quiet boards.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "latency.h"
#include "loopback.h"
#include "protocol/codes.h"
#include "protocol/deviceids.h"
#include "service/filedescriptor.h"
#include "tempdir.h"

namespace latency {

namespace {

std::unique_ptr<harness::Process> startDaemon(const Options& options, uint16_t port,
                                              const std::string& devDir) {
    return std::make_unique<harness::Process>(
        std::vector<std::string>{options.daemon, "--port", std::to_string(port), "--dev-dir",
                                 devDir, "--monitor-port", "0"},
        QUIET);
}

// The same path without the daemon: a relay process that copies its pseudo-terminal's bytes
// to its TCP client as soon as they arrive.
class Relay {
public:
    explicit Relay(const std::string& self)
        : port_(harness::freePort()),
          child_({self, "--relay", pty_.slavePath(), std::to_string(port_)}, QUIET),
          client_(port_, 5000ms) {}

    // One frame of the size of the daemon's report, from the line to the client.
    void sample(Figures& figures) {
        Bytes frame = dataFrame(number_, codes::ROTATION_ACTIVE, 1, {number_});
        ++number_;
        std::size_t target = client_.byteCount() + frame.size();
        harness::writeAll(pty_.master(), frame.data(), frame.size());
        Clock::time_point sent = Clock::now();
        Clock::time_point received;
        if (client_.waitForBytes(target, sent + 2s, received)) {
            figures.ms.push_back(millis(received - sent));
        } else {
            ++figures.lost;
        }
    }

private:
    harness::Pty pty_;
    uint16_t port_;
    harness::Process child_;
    Client client_;
    unsigned char number_ = 0;
};

}  // namespace

LatencyFigures measureDaemon(const Options& options, const std::string& self) {
    LatencyFigures figures;
    harness::TempDir dir("benchd-bench");
    Board board(known_devices::STAND);
    dir.link("ttyUSB0", board.pty().slavePath());
    uint16_t port = harness::freePort();
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

int relayMain(const std::string& slavePath, uint16_t port) {
    FileDescriptor line(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!line.valid() || !listener.valid()) {
        return 1;
    }
    harness::makeRaw(line.get());
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

IdleFigures measureIdle(const Options& options) {
    const unsigned char types[8] = {33, 34, 61, 62, 12, 5, 12, 34};
    harness::TempDir dir("benchd-bench");
    std::vector<std::unique_ptr<Board>> boards;
    for (int i = 0; i < 8; ++i) {
        boards.push_back(std::make_unique<Board>(types[i]));
        dir.link("ttyUSB" + std::to_string(i), boards.back()->pty().slavePath());
    }
    uint16_t port = harness::freePort();
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

}  // namespace latency
