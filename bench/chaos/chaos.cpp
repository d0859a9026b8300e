// chaos: a bench day compressed into minutes. The real benchd (capture, MQTT to a real broker,
// the fail-safe, the monitor port) serves a whole simulated bench streaming at its fastest,
// while a seeded schedule unplugs and silences boards, corrupts their lines, drops and
// resets the control client, floods the boards with settings, stops the motor, restarts the
// broker and rotates the capture. Everything each side saw goes to the run directory:
//   frames.log   benchsim: every frame each board sent and received
//   run.log      the control client, an observer, an MQTT subscriber, the events injected,
//                the daemon's resources once a second
//   console.log  the daemon's console; capture.pcap* its capture; run.txt the run's set-up
// chaoscheck reads them with its own decoding and says what was lost.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "broker.h"
#include "loggedclient.h"
#include "loopback.h"
#include "mqttlog.h"
#include "process.h"
#include "runlog.h"
#include "wait.h"

using namespace std::chrono_literals;
using chaos::nowUs;

namespace {

struct Config {
    int seconds = 600;
    uint32_t seed = 1;
    int boards = 4;
    int failsafe = 2;
    std::string out = "chaos-run";
    std::string benchd = BENCHD_BINARY;
    std::string benchsim = BENCHSIM_BINARY;
};

struct Board {
    std::string name;
    std::string kind;
    int id;
    bool plugged = true;
    int64_t busyUntilUs = 0;  // silent or not acknowledging until then
};

// The four boards of a bench, then the next bench's (the other model of each where there is
// one), up to `count` boards.
std::vector<Board> makeBoards(int count) {
    static const std::pair<const char*, int> first[] = {
        {"stand62", 62}, {"crit", 34}, {"flowmeter", 12}, {"delaymeter", 5}};
    static const std::pair<const char*, int> other[] = {
        {"stand", 61}, {"crit0303", 33}, {"flowmeter", 12}, {"delaymeter", 5}};
    std::vector<Board> boards;
    for (int n = 0; n < count; ++n) {
        const auto& kind = n < 4 ? first[n] : other[n % 4];
        boards.push_back({"ttyUSB" + std::to_string(n), kind.first, kind.second, true, 0});
    }
    return boards;
}

// CPU time of all the process's threads, from the scheduler's figures.
long long cpuNs(pid_t pid) {
    long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
        long long ns = 0;
        if (stat >> ns) {
            total += ns;
        }
    }
    ::closedir(dir);
    return total;
}

std::string statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            std::string value = line.substr(field.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value.substr(0, value.find(' '));
        }
    }
    return "0";
}

int countFds(pid_t pid) {
    int count = 0;
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* entry = ::readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    ::closedir(dir);
    return count;
}

class Run {
public:
    explicit Run(const Config& config)
        : config_(config),
          random_(config.seed),
          boards_(makeBoards(config.boards)),
          log_(config.out + "/run.log") {}

    int go();

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        int64_t atUs;
        std::function<void()> action;
    };

    void event(const std::string& what) { log_.line("event " + what); }
    void control(const std::string& command);
    void later(double seconds, std::function<void()> action) {
        pending_.push_back({nowUs() + static_cast<int64_t>(seconds * 1e6), std::move(action)});
    }
    double uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random_);
    }
    int pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }
    void runDue();
    void inject();
    void boardEvent(Board& board);
    void clientEvent();
    void burst(const std::string& kind);
    void stuckMotor();
    bool standHeld() const { return nowUs() < standHeldUntilUs_; }
    void stop();
    void sample();

    Config config_;
    std::mt19937 random_;
    std::vector<Board> boards_;
    chaos::RunLog log_;
    std::unique_ptr<harness::Broker> broker_;
    std::unique_ptr<harness::Process> sim_;
    std::unique_ptr<harness::Process> daemon_;
    std::unique_ptr<chaos::LoggedClient> client_;
    std::unique_ptr<chaos::LoggedClient> observer_;
    std::vector<std::unique_ptr<chaos::LoggedClient>> visitors_;
    int controlFd_ = -1;
    uint16_t port_ = 0;
    uint16_t monitorPort_ = 0;
    std::vector<Pending> pending_;
    bool clientAway_ = false;
    bool brokerAway_ = false;
    int64_t deadClientUntilUs_ = 0;
    // A stand's motor is held turning: the client sends no start meanwhile, so that the
    // rotation stays off and only the daemon's motor guard can stop it.
    int64_t standHeldUntilUs_ = 0;
    bool ending_ = false;  // the run is over: what is pending is brought back, not injected
    int64_t startUs_ = 0;
    int rpmValue_ = 1000;
    long leakageValue_ = 100000;
    std::map<std::string, int> injected_;
};

void Run::control(const std::string& command) {
    event("board " + command);
    std::string line = command + "\n";
    if (::write(controlFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::cerr << "chaos: cannot write to benchsim's control: " << std::strerror(errno) << "\n";
    }
}

void Run::runDue() {
    const int64_t now = nowUs();
    std::vector<Pending> due;
    auto split = std::stable_partition(pending_.begin(), pending_.end(),
                                       [now](const Pending& p) { return p.atUs > now; });
    std::move(split, pending_.end(), std::back_inserter(due));
    pending_.erase(split, pending_.end());
    for (Pending& p : due) {
        p.action();
    }
}

void Run::boardEvent(Board& board) {
    const int64_t now = nowUs();
    if (!board.plugged || board.busyUntilUs > now) {
        return;
    }
    const int kind = pick(16);
    std::string what;
    if (kind < 3) {
        what = "unplug";
        board.plugged = false;
        control("unplug " + board.name);
        Board* b = &board;
        later(uniform(0.3, 3.0), [this, b] {
            control("replug " + b->name);
            b->plugged = true;
        });
    } else if (kind < 4) {
        what = "silent-long";  // past the re-identification limit
        const double seconds = uniform(7, 9);
        board.busyUntilUs = now + static_cast<int64_t>((seconds + 3) * 1e6);
        control("silent " + board.name + " " + std::to_string(seconds));
    } else if (kind < 5) {
        what = "silent-short";
        const double seconds = uniform(0.5, 2);
        board.busyUntilUs = now + static_cast<int64_t>((seconds + 1) * 1e6);
        control("silent " + board.name + " " + std::to_string(seconds));
    } else if (kind < 7) {
        what = "reset";
        control("reset " + board.name);
    } else if (kind < 10) {
        what = "noise";
        control("noise " + board.name + " " + std::to_string(16 + pick(497)));
    } else if (kind < 13) {
        what = "badcrc";
        control("badcrc " + board.name + " " + std::to_string(1 + pick(5)));
    } else {
        what = "noack";
        const double seconds = uniform(0.5, 3);
        board.busyUntilUs = now + static_cast<int64_t>((seconds + 1) * 1e6);
        control("noack " + board.name + " " + std::to_string(seconds));
    }
    ++injected_["board " + what];
}

void Run::burst(const std::string& kind) {
    std::string messages;
    for (int i = 0; i < 1000; ++i) {
        if (kind == "stand") {
            rpmValue_ = rpmValue_ >= 60000 ? 1000 : rpmValue_ + 1;
            messages += "device_rpm:" + std::to_string(rpmValue_) + ";";
        } else {
            messages += "leakage_max_time:" + std::to_string(++leakageValue_) + ";";
        }
    }
    event("client burst " + kind);
    client_->send(messages);
    ++injected_["client burst of 1000 settings"];
}

void Run::clientEvent() {
    if (clientAway_) {
        return;
    }
    const int kind = pick(14);
    auto reconnectAfter = [this](double seconds) {
        clientAway_ = true;
        later(seconds, [this] {
            event("client connect");
            client_->connect();
            client_->send(std::string("osc:1;injector_active:1;") +
                          (standHeld() ? "" : "device_active:1;"));
            clientAway_ = false;
        });
    };
    if (kind < 2) {
        event("client close");
        client_->close();
        reconnectAfter(uniform(0.1, 2.0 * config_.failsafe));
        ++injected_["client close"];
    } else if (kind < 4) {
        event("client reset");
        client_->reset();
        reconnectAfter(uniform(0.1, 2.0 * config_.failsafe));
        ++injected_["client reset"];
    } else if (kind < 5) {
        // Found dead only after about 30 s: at most one at a time, and not near the end.
        // Nor while a stand's motor is held: the bursts timed to its guard would wait in the
        // next connection's listen queue.
        if (deadClientUntilUs_ > nowUs() || standHeld() ||
            nowUs() + 45000000 > startUs_ + config_.seconds * 1000000LL) {
            return;
        }
        event("client silent");
        client_->dieSilently();
        deadClientUntilUs_ = nowUs() + 60000000;
        // The next client waits in the listen queue until the daemon gives up the dead one.
        reconnectAfter(uniform(0.1, 1.0));
        ++injected_["client dies silently"];
    } else if (kind < 8) {
        burst(pick(2) == 0 ? "stand" : "tester");
    } else {
        // A stop: alone, or behind a burst to the stand (the stop behind 1,000 queued speeds).
        if (pick(2) == 0) {
            burst("stand");
        }
        event("client stop");
        client_->send("device_active:0;");
        ++injected_["client stop"];
        later(uniform(1, 3), [this] {
            if (!clientAway_ && !standHeld()) {
                client_->send("device_active:1;");
            }
        });
    }
}

// A stand's motor that goes on turning when the client stops it: the stand reports its rotation
// off and a steady speed, and the daemon's motor guard must stop it. Bursts of speed settings
// load the stand's line about when the guard is due (some 3 to 4.5 s after the stop: the
// rotation state is reported every 1.1 s, then eleven steady speeds 310 ms apart), far enough
// apart that each finds the queue empty and goes out whole rather than merged.
void Run::stuckMotor() {
    const int64_t now = nowUs();
    std::vector<Board*> stands;
    for (Board& board : boards_) {
        if (board.kind.rfind("stand", 0) == 0 && board.plugged && board.busyUntilUs <= now) {
            stands.push_back(&board);
        }
    }
    if (stands.empty() || clientAway_ || standHeld() || deadClientUntilUs_ > now) {
        return;
    }
    Board& stand = *stands[static_cast<std::size_t>(pick(static_cast<int>(stands.size())))];
    const double seconds = uniform(6, 9);
    const int rpm = 800 + pick(2201);
    stand.busyUntilUs = now + static_cast<int64_t>((seconds + 2) * 1e6);
    standHeldUntilUs_ = now + static_cast<int64_t>((seconds + 0.5) * 1e6);
    control("hold " + stand.name + " " + std::to_string(seconds) + " " + std::to_string(rpm));
    event("client stop");
    client_->send("device_active:0;");
    ++injected_["stand motor stuck (the guard's stop)"];
    for (double at = 3.0; at < 4.9; at += 0.3) {
        later(at, [this] {
            if (!clientAway_ && !ending_) {
                burst("stand");
            }
        });
    }
}

void Run::inject() {
    const int kind = pick(21);
    if (kind < 8) {
        boardEvent(boards_[pick(static_cast<int>(boards_.size()))]);
    } else if (kind < 15) {
        clientEvent();
    } else if (kind < 17) {
        event("observer join");
        auto visitor = std::make_unique<chaos::LoggedClient>(log_, "visitor", monitorPort_);
        visitor->connect();
        chaos::LoggedClient* raw = visitor.get();
        visitors_.push_back(std::move(visitor));
        later(uniform(1, 10), [this, raw] {
            event("observer leave");
            raw->close();
        });
        ++injected_["observer joins and leaves"];
    } else if (kind < 18) {
        if (brokerAway_) {
            return;
        }
        event("broker kill");
        broker_->stop();
        brokerAway_ = true;
        later(uniform(1, 5), [this] {
            event("broker start");
            broker_->start();
            brokerAway_ = false;
        });
        ++injected_["broker killed and restarted"];
    } else if (kind < 19) {
        event("signal HUP");
        ::kill(daemon_->pid(), SIGHUP);
        ++injected_["SIGHUP (capture rotated)"];
    } else if (kind < 20) {
        event("signal USR1");
        ::kill(daemon_->pid(), SIGUSR1);
        ++injected_["SIGUSR1 (counters)"];
    } else {
        stuckMotor();
    }
}

void Run::sample() {
    const pid_t pid = daemon_->pid();
    log_.line("resources rss_kb " + statusField(pid, "VmRSS") + " threads " +
              statusField(pid, "Threads") + " fds " + std::to_string(countFds(pid)) + " cpu_ns " +
              std::to_string(cpuNs(pid)));
}

int Run::go() {
    const std::string dir = config_.out;
    const std::string dev = dir + "/dev";
    ::mkdir(dev.c_str(), 0755);
    const std::string fifo = dir + "/control.fifo";
    ::unlink(fifo.c_str());
    if (::mkfifo(fifo.c_str(), 0600) != 0) {
        std::cerr << "chaos: cannot make " << fifo << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    broker_ = std::make_unique<harness::Broker>();
    port_ = harness::freePort();
    monitorPort_ = harness::freePort();

    std::vector<std::string> simArgs = {config_.benchsim,
                                        "--dir",
                                        dev,
                                        "--seed",
                                        std::to_string(config_.seed),
                                        "--frame-log",
                                        dir + "/frames.log",
                                        "--control",
                                        fifo};
    std::ofstream meta(dir + "/run.txt");
    meta << "seed " << config_.seed << "\nseconds " << config_.seconds << "\nfailsafe "
         << config_.failsafe << "\n";
    for (const Board& board : boards_) {
        simArgs.push_back(board.kind + "=" + board.name);
        meta << "board " << board.name << " " << board.kind << " " << board.id << "\n";
    }
    harness::Process::Options simOptions;
    simOptions.outputFile = dir + "/benchsim.log";
    simOptions.endSignal = SIGTERM;
    sim_ = std::make_unique<harness::Process>(simArgs, simOptions);
    // benchsim opens the FIFO for reading; a writer can open it once it has.
    if (!harness::waitUntil(
            [&] {
                controlFd_ = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                return controlFd_ >= 0;
            },
            10000ms, 10ms)) {
        std::cerr << "chaos: benchsim did not open its control FIFO\n" << sim_->out();
        return 1;
    }
    ::fcntl(controlFd_, F_SETFL, 0);

    harness::Process::Options daemonOptions;
    daemonOptions.outputFile = dir + "/console.log";
    daemonOptions.endSignal = SIGTERM;
    daemon_ = std::make_unique<harness::Process>(
        std::vector<std::string>{config_.benchd, "--dev-dir", dev, "--port", std::to_string(port_),
                                 "--monitor-port", std::to_string(monitorPort_), "--capture",
                                 dir + "/capture.pcap", "--capture-files", "64", "--capture-size",
                                 "8", "--mqtt", broker_->url() + "/chaos", "--bench", "bench1",
                                 "--failsafe", std::to_string(config_.failsafe)},
        daemonOptions);
    // The daemon binds its monitor port a moment after its control port (the capture recorder
    // starts between them): an observer that came at once was refused.
    if (!harness::waitUntil(
            [&] { return harness::accepts(port_) && harness::accepts(monitorPort_); }, 10000ms,
            10ms)) {
        std::cerr << "chaos: benchd does not serve its control and monitor ports\n"
                  << daemon_->out();
        return 1;
    }
    meta << "daemon " << daemon_->pid() << "\nport " << port_ << "\n";

    chaos::MqttLog mqtt(log_, broker_->port(), "chaos/#");
    observer_ = std::make_unique<chaos::LoggedClient>(log_, "observer", monitorPort_);
    bool served = observer_->connect();
    // An observer that never reads, for the whole run.
    FileDescriptor sleeper = harness::connectOnce(monitorPort_);
    client_ = std::make_unique<chaos::LoggedClient>(log_, "client", port_);
    served = served && sleeper.valid() && client_->connect();
    if (!served) {
        std::cerr << "chaos: benchd refused the first observers or the client\n";
        return 1;
    }
    client_->send("osc:1;injector_active:1;device_active:1;device_rpm:1500;");
    if (!harness::waitUntil(
            [&] {
                const std::string out = daemon_->out();
                std::size_t count = 0;
                for (std::size_t at = 0;
                     (at = out.find("DEVICE CONNECTED", at)) != std::string::npos; ++at) {
                    ++count;
                }
                return count >= boards_.size();
            },
            20000ms, 20ms)) {
        std::cerr << "chaos: not every board was identified\n";
        return 1;
    }

    startUs_ = nowUs();
    log_.lineAt(startUs_, "event start");
    std::cout << "chaos: seed " << config_.seed << ", " << config_.seconds << " s, "
              << boards_.size() << " boards, run directory " << dir << std::endl;
    const int64_t endUs = startUs_ + static_cast<int64_t>(config_.seconds) * 1000000;
    int64_t nextInjectUs = startUs_ + 1000000;
    int64_t nextSampleUs = startUs_;
    int64_t nextProgressUs = startUs_ + 30000000;
    while (nowUs() < endUs) {
        const int64_t now = nowUs();
        if (now >= nextSampleUs) {
            sample();
            nextSampleUs += 1000000;
        }
        if (now >= nextInjectUs) {
            inject();
            nextInjectUs = now + static_cast<int64_t>(
                                     std::exponential_distribution<double>(1 / 1.5)(random_) * 1e6);
        }
        if (now >= nextProgressUs) {
            std::cout << "chaos: " << (now - startUs_) / 1000000 << " s, " << client_->received()
                      << " messages received" << std::endl;
            nextProgressUs += 30000000;
        }
        runDue();
        std::this_thread::sleep_for(5ms);
    }
    // Bring everything back, then let the bench run quietly so that what is in flight lands.
    ending_ = true;
    while (!pending_.empty()) {
        for (Pending& p : pending_) {
            p.atUs = 0;
        }
        runDue();
    }
    const int64_t quietUs = nowUs();
    log_.lineAt(quietUs, "event quiet");
    meta << "start " << startUs_ << "\nquiet " << quietUs << "\n";
    while (nowUs() < quietUs + 8000000) {
        sample();
        std::this_thread::sleep_for(1s);
    }
    const int64_t endMark = nowUs();
    log_.lineAt(endMark, "event end");
    meta << "end " << endMark << "\n";
    for (const auto& [what, count] : injected_) {
        meta << "injected " << count << " " << what << "\n";
    }
    meta.flush();
    // The daemon first (its last Counters lines), then the boards, then the listeners.
    daemon_->stop(SIGTERM, 20000ms);
    sim_->stop(SIGTERM, 10000ms);
    ::close(controlFd_);
    client_->close();
    observer_->close();
    for (auto& visitor : visitors_) {
        visitor->close();
    }
    log_.flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    CLI::App app{"A seeded chaos run of benchd on a simulated bench; chaoscheck reads its logs."};
    app.add_option("--seconds", config.seconds, "Length of the run (default 600)")
        ->check(CLI::Range(10, 86400));
    app.add_option("--seed", config.seed, "Seed of the schedule and of the boards (default 1)");
    app.add_option("--boards", config.boards,
                   "Boards: a bench of four, then a second bench's (default 4)")
        ->check(CLI::Range(1, 32));
    app.add_option("--failsafe", config.failsafe, "benchd's --failsafe (default 2)")
        ->check(CLI::Range(1, 60));
    app.add_option("--out", config.out, "Run directory, emptied first (default chaos-run)");
    app.add_option("--benchd", config.benchd, "The daemon to run");
    app.add_option("--benchsim", config.benchsim, "The simulator to run");
    CLI11_PARSE(app, argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    std::error_code error;
    std::filesystem::remove_all(config.out, error);
    if (config.out.empty() || !std::filesystem::create_directories(config.out, error)) {
        std::cerr << "chaos: cannot make the run directory " << config.out << "\n";
        return 1;
    }
    try {
        Run run(config);
        return run.go();
    } catch (const std::exception& e) {
        std::cerr << "chaos: " << e.what() << "\n";
        return 1;
    }
}
