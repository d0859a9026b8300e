// benchctl web: its page's own figures, and the daemon's report latency with the page and 20
// viewers against without.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>

#include "latency.h"
#include "loopback.h"
#include "protocol/deviceids.h"
#include "service/filedescriptor.h"
#include "tempdir.h"

namespace latency {

namespace {

// A browser's live stream from benchctl web, read by a thread of its own as a page would:
// `GET /events`, then every event. Tells when the stand's speed `value` reached it.
class Viewer {
public:
    explicit Viewer(uint16_t port) : fd_(harness::connectLoopback(port, 10s, 20ms)) {
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
        : port(harness::freePort()),
          child({options.benchctl, "web", "--listen", "127.0.0.1:" + std::to_string(port),
                 "--monitor", "127.0.0.1:" + std::to_string(monitorPort)},
                QUIET) {}
    uint16_t port;
    harness::Process child;
};

}  // namespace

// The page's own figures on a whole simulated bench: report -> browser latency (each sample
// spaced past the page's 100 ms pace per key, so the pace does not count) and benchctl web's
// CPU with 1 and with 20 viewers.
WebFigures measureWeb(const Options& options) {
    SimulatedBench bench(options);
    harness::TempDir& dir = bench.dir;
    Board& board = bench.board;
    const uint16_t port = harness::freePort();
    const uint16_t monitorPort = harness::freePort();
    harness::Process daemon({options.daemon, "--port", std::to_string(port), "--dev-dir",
                             dir.path(), "--monitor-port", std::to_string(monitorPort)},
                            QUIET);
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

}  // namespace latency
