// Fleet telemetry through the real daemon, simulated boards and a real MQTT broker: every
// client message on its telemetry topic, the boards' and the status's retained messages,
// "online" and its will, a broker that goes away and comes back, one that stops answering, a
// broker that wants a password; and the bench served and stopped at once whatever a name
// server or a TLS broker do.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "feedclient.h"
#include "mqtt.h"
#include "simbench.h"
#include "testsupport.h"

using namespace testing_support;
using fault_e2e::FeedClient;
using mqtt_support::Broker;
using mqtt_support::Subscriber;
using sim_e2e::SimBench;

namespace {

using Received = std::map<std::string, std::vector<Subscriber::Message>>;

const std::string BASE = "lab/bench7/";

bool latestHas(const Received& all, const std::string& topic, const std::string& text) {
    auto found = all.find(topic);
    return found != all.end() && !found->second.empty() &&
           found->second.back().payload.find(text) != std::string::npos;
}

// What a subscriber coming now is handed at once: the retained messages under BASE.
Received retainedNow(const Broker& broker, const std::vector<std::string>& topics) {
    Subscriber late(broker.port(), BASE + "#");
    late.waitUntil(
        [&](const Received& all) {
            return std::all_of(topics.begin(), topics.end(),
                               [&](const std::string& t) { return all.count(t) != 0; });
        },
        10000ms);
    Received retained;
    for (const auto& [topic, messages] : late.all()) {
        for (const Subscriber::Message& message : messages) {
            if (message.retained) {
                retained[topic].push_back(message);
            }
        }
    }
    return retained;
}

// The client's messages, key by key, each arrived on its topic with the same value, in the
// same order, once the publisher has had the time to send them.
void expectTelemetryOf(const FeedClient& client, const Subscriber& subscriber) {
    std::map<std::string, std::vector<std::string>> sent;
    for (const std::string& message : client.messages()) {
        const std::size_t colon = message.find(':');
        sent[message.substr(0, colon)].push_back(
            message.substr(colon + 1, message.size() - colon - 2));
    }
    ASSERT_GE(sent.size(), 3u);
    const bool complete = subscriber.waitUntil(
        [&](const Received& all) {
            for (const auto& [key, values] : sent) {
                auto found = all.find(BASE + "telemetry/" + key);
                if (found == all.end()) {
                    return false;
                }
                std::vector<std::string> got;
                for (const Subscriber::Message& message : found->second) {
                    got.push_back(message.payload);
                }
                if (key == "device_connected") {
                    // A client that connects is told the boards in name order, while the
                    // topic had them in the order they identified themselves.
                    for (const std::string& value : values) {
                        if (std::find(got.begin(), got.end(), value) == got.end()) {
                            return false;
                        }
                    }
                } else if (std::search(got.begin(), got.end(), values.begin(), values.end()) ==
                           got.end()) {
                    // The client's run of values, back to back, among the topic's.
                    return false;
                }
            }
            return true;
        },
        15000ms);
    EXPECT_TRUE(complete) << "a client message is missing from its telemetry topic";
}

// How long a signal takes to end the daemon, and its exit status.
std::pair<std::chrono::milliseconds, int> timedStop(Process& daemon, int signal = SIGTERM) {
    const auto start = std::chrono::steady_clock::now();
    const int status = daemon.stop(signal);
    return {std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start),
            status};
}

// The process's user and system CPU time so far, in seconds (/proc/PID/stat).
double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: state is the 3rd, utime the 14th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    if (values.size() < 13) {
        return -1;
    }
    return static_cast<double>(std::stoull(values[11]) + std::stoull(values[12])) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A TCP listener on a free loopback port that plays a broker gone wrong: it accepts and closes
// at once, or accepts and never says a word. Counts the connections.
class BadBroker {
public:
    enum class Mode { CLOSE, SILENT };
    explicit BadBroker(Mode mode) : mode_(mode) {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_.get(), 16) != 0 ||
            ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on a loopback port");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~BadBroker() {
        stop_.store(true);
        thread_.join();
    }
    uint16_t port() const { return port_; }
    int accepted() const { return accepted_.load(); }

private:
    void run() {
        std::vector<FileDescriptor> held;
        while (!stop_.load()) {
            pollfd ready{fd_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 50) != 1) {
                continue;
            }
            FileDescriptor peer(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!peer.valid()) {
                continue;
            }
            ++accepted_;
            if (mode_ == Mode::SILENT) {
                held.push_back(std::move(peer));
            }
        }
    }
    const Mode mode_;
    FileDescriptor fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A name server that reads every question and never answers: a UDP socket on port 53 of a
// loopback address of its own (the resolver's configuration names no port).
class SilentNameServer {
public:
    SilentNameServer() {
        std::mt19937 random(std::random_device{}());
        for (int attempt = 0; attempt < 20 && !fd_.valid(); ++attempt) {
            address_ = "127.53." + std::to_string(random() % 250 + 1) + "." +
                       std::to_string(random() % 250 + 1);
            FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(53);
            ::inet_pton(AF_INET, address_.c_str(), &where.sin_addr);
            if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) {
                fd_ = std::move(fd);
            }
        }
    }
    bool listening() const { return fd_.valid(); }
    const std::string& address() const { return address_; }
    // The questions received so far (reads what is pending first).
    int questions() {
        char datagram[1500];
        while (::recv(fd_.get(), datagram, sizeof datagram, 0) > 0) {
            ++questions_;
        }
        return questions_;
    }

private:
    FileDescriptor fd_;
    std::string address_;
    int questions_ = 0;
};

}  // namespace

TEST(MqttE2E, TelemetryBoardsAndOnlineFollowTheBench) {
    Broker broker;
    Subscriber watching(broker.port(), BASE + "#");
    SimBench bench({"stand62=ttyUSB0", "flowmeter=ttyUSB1"},
                   {"--mqtt", broker.url() + "/lab", "--bench", "bench7"});
    ASSERT_TRUE(watching.waitForLatest(BASE + "online", "1"));
    ASSERT_TRUE(watching.waitUntil([](const Received& all) {
        return latestHas(all, BASE + "boards/ttyUSB0", "\"device\":62,\"identified\":true") &&
               latestHas(all, BASE + "boards/ttyUSB1", "\"identified\":true");
    }));
    // Each port was published unidentified first, then again once its board said what it is.
    EXPECT_NE(watching.on(BASE + "boards/ttyUSB0").front().payload.find("\"identified\":false"),
              std::string::npos);

    // The control client's messages, each on its topic.
    FeedClient control(bench.port());
    ASSERT_TRUE(control.waitForCount("flowmeter_flow", 15, 20000ms));
    expectTelemetryOf(control, watching);
    EXPECT_TRUE(watching.waitUntil([](const Received& all) {
        return latestHas(all, BASE + "status", "\"client_connected\":true");
    }));

    // A dashboard that comes later is handed the boards and the status at once.
    const Received retained =
        retainedNow(broker, {BASE + "online", BASE + "status", BASE + "boards/ttyUSB1"});
    EXPECT_TRUE(latestHas(retained, BASE + "online", "1"));
    EXPECT_TRUE(latestHas(retained, BASE + "status", "\"version\":\"" BENCHD_VERSION "\""));
    EXPECT_TRUE(latestHas(retained, BASE + "boards/ttyUSB1", "\"counters\":{\"frames\":"));
    EXPECT_EQ(retained.count(BASE + "telemetry/flowmeter_flow"), 0u);

    // Unplugged: the port's retained message is cleared.
    bench.unlink("ttyUSB1");
    EXPECT_TRUE(watching.waitForLatest(BASE + "boards/ttyUSB1", ""));
    EXPECT_EQ(retainedNow(broker, {BASE + "boards/ttyUSB0"}).count(BASE + "boards/ttyUSB1"), 0u);

    // A daemon killed outright: the broker says so with the will.
    bench.daemon().stop(SIGKILL);
    EXPECT_TRUE(watching.waitForLatest(BASE + "online", "0"));
}

TEST(MqttE2E, BrokerAwayFiveSecondsCostsTheBenchNothing) {
    Broker broker;
    SimBench bench({"stand62=ttyUSB0", "flowmeter=ttyUSB1"},
                   {"--mqtt", broker.url() + "/lab", "--bench", "bench7"});
    FeedClient control(bench.port());
    {
        Subscriber watching(broker.port(), BASE + "#");
        ASSERT_TRUE(watching.waitForLatest(BASE + "online", "1"));
        ASSERT_TRUE(control.waitForCount("flowmeter_flow", 5, 20000ms));
    }

    broker.stop();
    ASSERT_TRUE(bench.daemon().waitForOut("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) +
                                          " lost"));
    const std::size_t before = control.count("flowmeter_flow");
    const std::size_t total = control.size();
    std::this_thread::sleep_for(5s);  // the outage itself, not a wait for a result
    EXPECT_GT(control.count("flowmeter_flow"), before + 2) << "the client lost its telemetry";
    control.send("device_rpm:1200;");
    ASSERT_TRUE(broker.start());

    // The broker came back empty: the daemon gives it its retained state again, and
    // publishing goes on.
    Subscriber watching(broker.port(), BASE + "#");
    EXPECT_TRUE(watching.waitUntil(
        [](const Received& all) {
            return latestHas(all, BASE + "online", "1") && latestHas(all, BASE + "status", "{") &&
                   latestHas(all, BASE + "boards/ttyUSB0", "\"identified\":true") &&
                   latestHas(all, BASE + "boards/ttyUSB1", "\"identified\":true") &&
                   all.count(BASE + "telemetry/flowmeter_flow") != 0;
        },
        40000ms));
    EXPECT_TRUE(bench.daemon().waitForOut("is back;"));
    EXPECT_EQ(bench.daemonCount(" lost ("), 1u);

    // The client went on meanwhile without a gap: nothing dropped on its queue.
    EXPECT_GT(control.size(), total);
    EXPECT_EQ(bench.daemonCount("Client queue full"), 0u);
}

TEST(MqttE2E, UserAndPasswordFile) {
    Broker broker(std::vector<std::pair<std::string, std::string>>{{"bench", "s3cret word"}});
    TempDir dir;
    const std::string good = dir.path() + "/good";
    const std::string bad = dir.path() + "/bad";
    std::ofstream(good) << "s3cret word\nignored\n";
    std::ofstream(bad) << "guess\n";
    Subscriber watching(broker.port(), BASE + "#", "bench", "s3cret word");

    uint16_t port = 0;
    auto refused = startDaemon({"--dev-dir", dir.path(), "--mqtt", broker.url() + "/lab", "--bench",
                                "bench7", "--mqtt-user", "bench", "--mqtt-password-file", bad},
                               port);
    EXPECT_TRUE(refused->waitForOut("refused the connection", 10000ms)) << refused->out();
    refused->stop();

    // Under the service manager: the credential, without --mqtt-password-file. Readable by
    // every user here, which is said once.
    TempDir credentials;
    std::ofstream(credentials.path() + "/mqtt-password") << "s3cret word\n";
    ::chmod((credentials.path() + "/mqtt-password").c_str(), 0644);
    auto credential = startDaemon({"--dev-dir", dir.path(), "--mqtt", broker.url() + "/lab",
                                   "--bench", "bench7", "--mqtt-user", "bench"},
                                  port, {"CREDENTIALS_DIRECTORY=" + credentials.path()});
    EXPECT_TRUE(credential->waitForOut("MQTT: publishing to", 10000ms)) << credential->out();
    EXPECT_EQ(occurrences(credential->out(), "MQTT: the password file " + credentials.path() +
                                                 "/mqtt-password is readable by every user "
                                                 "(mode 0644)"),
              1u)
        << credential->out();
    credential->stop();

    auto daemon = startDaemon({"--dev-dir", dir.path(), "--mqtt", broker.url() + "/lab", "--bench",
                               "bench7", "--mqtt-user", "bench", "--mqtt-password-file", good},
                              port);
    EXPECT_TRUE(watching.waitForLatest(BASE + "online", "1"));
    // A clean stop says "offline" itself.
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_TRUE(watching.waitForLatest(BASE + "online", "0"));
}

// A broker whose name the name server never answers: the boards and the client are served from
// the start, and SIGTERM ends the daemon within 2 s, the boards in their safe state first.
TEST(MqttE2E, SilentNameServerHoldsUpNeitherTheBenchNorTheStop) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the daemon runs in a mount namespace of its own with a "
                        "resolver configuration naming a silent name server";
    }
    SilentNameServer nameServer;
    ASSERT_TRUE(nameServer.listening()) << "no loopback address free for port 53";
    TempDir etc;
    // Long waits for an answer, so that the lookup is still out when the stop comes.
    std::ofstream(etc.path() + "/resolv.conf")
        << "nameserver " << nameServer.address() << "\noptions timeout:30 attempts:3\n";
    std::ofstream(etc.path() + "/nsswitch.conf") << "passwd: files\ngroup: files\nhosts: dns\n";
    const std::vector<std::string> inNamespace = {
        "/usr/bin/unshare",
        "--mount",
        "/bin/sh",
        "-c",
        "mount --bind \"$0\" /etc/resolv.conf && mount --bind \"$1\" /etc/nsswitch.conf && "
        "shift && exec \"$@\"",
        etc.path() + "/resolv.conf",
        etc.path() + "/nsswitch.conf"};

    const auto started = std::chrono::steady_clock::now();
    SimBench bench(
        {"stand62=ttyUSB0"},
        {"--mqtt", "mqtt://broker.silent.test/lab", "--bench", "bench7", "--failsafe", "2"},
        inNamespace);
    ASSERT_NE(bench.daemon().out().find("Waiting for connection..."), std::string::npos)
        << bench.daemon().out() << bench.daemon().err();
    FeedClient control(bench.port());
    ASSERT_TRUE(control.waitFor("device_connected:62;", 0, 10000ms)) << bench.daemon().out();
    const auto served = std::chrono::steady_clock::now() - started;
    std::printf(
        "[ figures ] silent name server: board identified and the client served %lld ms "
        "after start\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(served).count()));
    // The old start waited for the lookup before the first board: 30 s with this resolver.
    EXPECT_LT(served, 10s);
    ASSERT_TRUE(waitUntil([&] { return nameServer.questions() > 0; }, 10000ms))
        << "the daemon never asked the name server";
    EXPECT_TRUE(control.waitForCount("device_rpm", 3, 10000ms)) << "the stand's reports stopped";

    const auto [took, status] = timedStop(bench.daemon());
    std::printf("[ figures ] silent name server: SIGTERM to exit %lld ms (lookup still out)\n",
                static_cast<long long>(took.count()));
    EXPECT_EQ(status, 0) << bench.daemon().err();
    EXPECT_LT(took, 2000ms);
    const std::string out = bench.daemon().out();
    const std::size_t safe = out.find("Fail-safe: benchd stopping, boards set to their safe state");
    EXPECT_NE(safe, std::string::npos) << out;
    EXPECT_LT(safe, out.find("MQTT: 0 telemetry messages published")) << out;
}

// A TLS broker that is not there, closes every connection or never answers: tried again after
// pauses of 1 s doubling (not in a loop), a trickle of CPU meanwhile, SIGTERM honoured at once.
TEST(MqttE2E, TlsBrokerAwayCostsATrickleAndHoldsUpNoStop) {
    struct Case {
        const char* what;
        std::unique_ptr<BadBroker> broker;  // null: a port that refuses
        const char* reason;                 // in the "not reached yet" line
    };
    Case cases[] = {
        {"refused", nullptr, "(Connection refused)"},
        {"closed at once", std::make_unique<BadBroker>(BadBroker::Mode::CLOSE), "("},
        {"silent", std::make_unique<BadBroker>(BadBroker::Mode::SILENT),
         "(connecting, no answer yet)"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint16_t brokerPort = c.broker ? c.broker->port() : freePort();
        TempDir dir;
        uint16_t port = 0;
        auto daemon = startDaemon(
            {"--dev-dir", dir.path(), "--mqtt",
             "mqtts://127.0.0.1:" + std::to_string(brokerPort) + "/lab", "--bench", "bench7"},
            port);
        ASSERT_TRUE(daemon->waitForOut("Waiting for connection...")) << daemon->err();
        TcpClient client(port);
        ASSERT_TRUE(client.connected());
        const double before = cpuSeconds(daemon->pid());
        const auto from = std::chrono::steady_clock::now();
        // The measurement itself, not a wait for a result.
        std::this_thread::sleep_for(5s);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
        const double share = (cpuSeconds(daemon->pid()) - before) / seconds;
        std::printf("[ figures ] mqtts, broker %s: %.2f %% of a core over %.1f s", c.what,
                    100 * share, seconds);
        EXPECT_LT(share, 0.05);
        EXPECT_TRUE(daemon->waitForOut("not reached yet " + std::string(c.reason), 5000ms))
            << daemon->out();
        if (c.broker) {
            // Tried again after a fatal TLS error, yet not in a loop: 1 s, 2 s, 4 s apart.
            const int tries = c.broker->accepted();
            std::printf(", %d connections", tries);
            EXPECT_GE(tries, c.broker && std::string(c.what) == "silent" ? 1 : 2);
            EXPECT_LE(tries, 6);
        }
        const auto [took, status] = timedStop(*daemon);
        std::printf(", SIGTERM to exit %lld ms\n", static_cast<long long>(took.count()));
        EXPECT_EQ(status, 0);
        EXPECT_LT(took, 2000ms);
        EXPECT_EQ(occurrences(daemon->out(), "not reached yet"), 1u) << daemon->out();
    }
}

// A broker that stops answering (stopped, its connections open) is said lost with the reason
// in words, and the publisher connects again once it answers.
TEST(MqttE2E, BrokerThatStopsAnsweringIsLostByTheKeepalive) {
    // A broker that comes up late: the "not reached yet" line must not hide the later loss.
    Broker broker;
    broker.stop();
    SimBench bench({"stand62=ttyUSB0"}, {"--mqtt", broker.url() + "/lab", "--bench", "bench7"});
    ASSERT_TRUE(bench.daemon().waitForOut("not reached yet", 20000ms)) << bench.daemon().out();
    ASSERT_TRUE(broker.start());
    Subscriber watching(broker.port(), BASE + "#");
    ASSERT_TRUE(watching.waitForLatest(BASE + "online", "1", 40000ms));
    ASSERT_EQ(::kill(broker.pid(), SIGSTOP), 0);
    const bool lost =
        bench.daemon().waitForOut("MQTT broker 127.0.0.1:" + std::to_string(broker.port()) +
                                      " lost (no answer within the keepalive)",
                                  40000ms);
    ::kill(broker.pid(), SIGCONT);
    EXPECT_TRUE(lost) << bench.daemon().out();
    EXPECT_TRUE(bench.daemon().waitForOut("is back;", 40000ms)) << bench.daemon().out();

    // Connected to a broker that has just frozen: the stop does not wait on it either.
    ASSERT_EQ(::kill(broker.pid(), SIGSTOP), 0);
    const auto [took, status] = timedStop(bench.daemon());
    ::kill(broker.pid(), SIGCONT);
    std::printf("[ figures ] broker frozen while connected: SIGTERM to exit %lld ms\n",
                static_cast<long long>(took.count()));
    EXPECT_EQ(status, 0);
    EXPECT_LT(took, 2000ms);
}

// mqtts: the daemon connects to the address it looked up, yet the broker's certificate must
// name the host of the URL: "localhost" is trusted, the same broker as 127.0.0.1 is not.
TEST(MqttE2E, TlsCertificateMustNameTheUrlsHost) {
    Broker broker({}, "localhost");
    TempDir dir;
    const std::string port = std::to_string(broker.port());
    uint16_t ours = 0;
    auto named = startDaemon({"--dev-dir", dir.path(), "--mqtt", "mqtts://localhost:" + port,
                              "--mqtt-ca", broker.caFile(), "--bench", "bench7"},
                             ours);
    auto numeric = startDaemon({"--dev-dir", dir.path(), "--mqtt", "mqtts://127.0.0.1:" + port,
                                "--mqtt-ca", broker.caFile(), "--bench", "bench8"},
                               ours);
    EXPECT_TRUE(
        named->waitForOut("MQTT: publishing to localhost:" + port + " under bench7/", 10000ms))
        << named->out();
    EXPECT_TRUE(numeric->waitForOut("not reached yet (TLS handshake failed", 10000ms))
        << numeric->out();
    EXPECT_EQ(numeric->out().find("MQTT: publishing"), std::string::npos);
    EXPECT_EQ(named->stop(), 0);
    EXPECT_EQ(numeric->stop(), 0);
}
