// A workshop's fleet on one MQTT broker: FLEET_DAEMONS (20) daemons, each with its own
// simulated boards (a stand and a flow meter from benchsim) and a control client reading
// everything, publishing to one broker for FLEET_SECONDS (60). One subscriber per topic class
// counts what arrives. Prints, per topic class, messages published against received (the
// retained state checked complete by a subscriber that comes afterwards), and the CPU time of
// the broker and of each daemon over the run, from /proc.
//
//   fleet                         (FLEET_SECONDS=10 FLEET_DAEMONS=5 fleet for a short run)
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "loopback.h"
#include "process.h"
#include "service/filedescriptor.h"
#include "tempdir.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using harness::Broker;
using harness::Process;
using harness::Subscriber;

int envNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// utime + stime of a process in clock ticks, from /proc/<pid>/stat.
uint64_t processTicks(pid_t pid) {
    const std::string text = slurp("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) {
        return 0;
    }
    std::istringstream rest(text.substr(paren + 2));
    std::string field;
    for (int i = 3; i <= 13; ++i) {
        rest >> field;
    }
    uint64_t utime = 0, stime = 0;
    rest >> utime >> stime;
    return utime + stime;
}

struct Bench {
    std::string name;
    std::string dir;
    std::unique_ptr<Process> sim;
    std::unique_ptr<Process> daemon;
    FileDescriptor client;
    uint64_t clientMessages = 0;
    uint64_t startTicks = 0, endTicks = 0;
    uint64_t published = 0, dropped = 0;
};

// Counts the messages of every control client until `stop`.
void readClients(std::vector<Bench>& benches, const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    for (const Bench& bench : benches) {
        fds.push_back({bench.client.get(), POLLIN, 0});
    }
    char buffer[65536];
    while (!stop.load()) {
        if (::poll(fds.data(), fds.size(), 100) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                continue;
            }
            benches[i].clientMessages += static_cast<uint64_t>(std::count(buffer, buffer + n, ';'));
        }
    }
}

std::size_t countOn(const Subscriber& subscriber, const std::string& level,
                    bool (*keep)(const std::string&)) {
    std::size_t n = 0;
    for (const auto& [topic, messages] : subscriber.all()) {
        if (topic.find("/" + level) == std::string::npos) {
            continue;
        }
        for (const Subscriber::Message& message : messages) {
            n += keep(message.payload) ? 1 : 0;
        }
    }
    return n;
}

}  // namespace

int main() {
    ::signal(SIGPIPE, SIG_IGN);
    const int seconds = envNumber("FLEET_SECONDS", 60);
    const int daemons = envNumber("FLEET_DAEMONS", 20);
    try {
        Broker broker;
        const std::string url = broker.url() + "/fleet";
        Subscriber telemetry(broker.port(), "fleet/+/telemetry/#");
        Subscriber boards(broker.port(), "fleet/+/boards/#");
        Subscriber status(broker.port(), "fleet/+/status");
        Subscriber online(broker.port(), "fleet/+/online");

        const harness::TempDir root("benchd-fleet");
        std::vector<Bench> benches(static_cast<std::size_t>(daemons));
        for (int i = 0; i < daemons; ++i) {
            Bench& bench = benches[static_cast<std::size_t>(i)];
            bench.name = "bench" + std::to_string(i + 1);
            bench.dir = root.path() + "/" + bench.name;
            std::filesystem::create_directories(bench.dir + "/dev");
            bench.sim = std::make_unique<Process>(
                std::vector<std::string>{BENCHSIM_BINARY, "--dir", bench.dir + "/dev", "--seed",
                                         std::to_string(i + 1), "stand62=ttyUSB0",
                                         "flowmeter=ttyUSB1"},
                Process::Options{{}, 0, bench.dir + "/sim.log", SIGKILL});
        }
        for (Bench& bench : benches) {
            const auto deadline = Clock::now() + 10s;
            while (Clock::now() < deadline &&
                   !(std::filesystem::exists(bench.dir + "/dev/ttyUSB0") &&
                     std::filesystem::exists(bench.dir + "/dev/ttyUSB1"))) {
                std::this_thread::sleep_for(20ms);
            }
            bench.daemon = std::make_unique<Process>(
                std::vector<std::string>{BENCHD_BINARY, "--config", "/dev/null", "--port", "0",
                                         "--monitor-port", "0", "--dev-dir", bench.dir + "/dev",
                                         "--mqtt", url, "--bench", bench.name},
                Process::Options{{}, 0, bench.dir + "/daemon.log", SIGKILL});
        }
        for (Bench& bench : benches) {
            if (!harness::waitUntil(
                    [&] {
                        return bench.daemon->out().find("Listening on port ") != std::string::npos;
                    },
                    10s, 20ms)) {
                throw std::runtime_error(bench.name + " did not listen: " + bench.daemon->out());
            }
            const std::string out = bench.daemon->out();
            const uint16_t port =
                static_cast<uint16_t>(std::atoi(out.c_str() + out.find("Listening on port ") + 18));
            bench.client = harness::connectOnce(port);
            if (!bench.client.valid()) {
                throw std::runtime_error("cannot connect to " + bench.name);
            }
        }
        std::atomic<bool> stopReading{false};
        std::thread reader([&] { readClients(benches, stopReading); });

        const uint64_t brokerStart = processTicks(broker.pid());
        for (Bench& bench : benches) {
            bench.startTicks = processTicks(bench.daemon->pid());
        }
        const auto started = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        const uint64_t brokerEnd = processTicks(broker.pid());
        for (Bench& bench : benches) {
            bench.endTicks = processTicks(bench.daemon->pid());
        }

        // The retained state as a dashboard coming now finds it.
        Subscriber late(broker.port(), "fleet/#");
        late.waitUntil(
            [&](const std::map<std::string, std::vector<Subscriber::Message>>& all) {
                return all.size() >= static_cast<std::size_t>(daemons) * 4;
            },
            10s);
        std::size_t retainedOnline = 0, retainedStatus = 0, retainedBoards = 0;
        for (const auto& [topic, messages] : late.all()) {
            for (const Subscriber::Message& message : messages) {
                if (!message.retained) {
                    continue;
                }
                if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/online") == 0 &&
                    message.payload == "1") {
                    ++retainedOnline;
                } else if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/status") == 0) {
                    ++retainedStatus;
                } else if (topic.find("/boards/") != std::string::npos &&
                           message.payload.find("\"identified\":true") != std::string::npos) {
                    ++retainedBoards;
                }
            }
        }

        for (Bench& bench : benches) {
            bench.daemon->stop(SIGTERM, 5000ms);
            const std::string out = bench.daemon->out();
            const std::size_t at = out.rfind("MQTT: ");
            if (at != std::string::npos) {
                std::sscanf(out.c_str() + at, "MQTT: %lu telemetry messages published, %lu dropped",
                            &bench.published, &bench.dropped);
            }
            bench.sim->stop(SIGTERM, 5000ms);
        }
        stopReading.store(true);
        reader.join();
        uint64_t published = 0, dropped = 0, clientMessages = 0;
        for (const Bench& bench : benches) {
            published += bench.published;
            dropped += bench.dropped;
            clientMessages += bench.clientMessages;
        }
        // The last published messages still on their way.
        telemetry.waitUntil(
            [&](const std::map<std::string, std::vector<Subscriber::Message>>& all) {
                std::size_t n = 0;
                for (const auto& entry : all) {
                    n += entry.second.size();
                }
                return n >= published;
            },
            5s);
        const std::size_t telemetryReceived = telemetry.total();
        std::this_thread::sleep_for(200ms);

        const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
        auto percent = [&](uint64_t ticks) { return 100.0 * ticks / tick / elapsed; };
        std::printf(
            "benchd fleet: %d daemons x (stand + flow meter + control client), one "
            "broker, %.0f s\n\n",
            daemons, elapsed);
        std::printf("| %-10s | %12s | %12s | %-44s |\n", "topics", "published", "received",
                    "check");
        std::printf("|%s|%s|%s|%s|\n", std::string(12, '-').c_str(), std::string(14, '-').c_str(),
                    std::string(14, '-').c_str(), std::string(46, '-').c_str());
        char check[128];
        std::snprintf(check, sizeof check, "delivered %.2f %% (%lu dropped by daemons)",
                      published == 0 ? 0.0 : 100.0 * telemetryReceived / published,
                      static_cast<unsigned long>(dropped));
        std::printf("| %-10s | %12lu | %12zu | %-44s |\n", "telemetry",
                    static_cast<unsigned long>(published), telemetryReceived, check);
        std::snprintf(check, sizeof check, "retained: %zu of %d boards identified", retainedBoards,
                      2 * daemons);
        std::printf("| %-10s | %12s | %12zu | %-44s |\n", "boards", "-", boards.total(), check);
        std::snprintf(check, sizeof check, "retained: %zu of %d", retainedStatus, daemons);
        std::printf("| %-10s | %12s | %12zu | %-44s |\n", "status", "-", status.total(), check);
        std::snprintf(check, sizeof check, "retained \"1\": %zu of %d", retainedOnline, daemons);
        std::printf("| %-10s | %12s | %12zu | %-44s |\n", "online", "-",
                    countOn(online, "online", [](const std::string& p) { return p == "1"; }),
                    check);
        std::printf(
            "\ncontrol clients: %lu messages in all (telemetry published / client "
            "messages: %.3f)\n\n",
            static_cast<unsigned long>(clientMessages),
            clientMessages == 0 ? 0.0 : static_cast<double>(published) / clientMessages);

        std::printf("| %-10s | %14s | %12s |\n", "process", "CPU % of core", "published");
        std::printf("|%s|%s|%s|\n", std::string(12, '-').c_str(), std::string(16, '-').c_str(),
                    std::string(14, '-').c_str());
        std::printf("| %-10s | %14.2f | %12s |\n", "broker", percent(brokerEnd - brokerStart), "-");
        double sum = 0, most = 0;
        for (const Bench& bench : benches) {
            const double p = percent(bench.endTicks - bench.startTicks);
            sum += p;
            most = std::max(most, p);
            std::printf("| %-10s | %14.2f | %12lu |\n", bench.name.c_str(), p,
                        static_cast<unsigned long>(bench.published));
        }
        std::printf("\ndaemons: mean %.2f %%, max %.2f %% of one core; broker %.2f %%\n",
                    sum / daemons, most, percent(brokerEnd - brokerStart));
        for (Bench& bench : benches) {
            bench.client.reset();
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fleet: %s\n", error.what());
        return 1;
    }
    return 0;
}
