// benchctl against a monitor port: a fake one in the test (loopback, speaking the observer
// protocol) for the monitor's reconnection, the status table and the full-screen `top` in a
// real terminal (tmux), and `web`'s HTTP side; and the real daemon's, on a simulated bench,
// through a restart.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <regex>
#include <set>

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "simbench.h"
#include "testsupport.h"
#include "webtool.h"

using namespace testing_support;

namespace {

std::string benchctl() {
    return std::string(BENCHD_TOOLS_DIR) + "/benchctl";
}

// A monitor port of its own: announces two boards, streams telemetry that changes every
// 100 ms (a chart every half second), answers "status;" with a status block. stop() closes
// everything, as a daemon that ends; start() listens again on the same port.
class FakeMonitor {
public:
    // `extraKeys`: as many more keys in every telemetry burst, for a busier stream.
    explicit FakeMonitor(int extraKeys = 0) : extraKeys_(extraKeys) {
        for (int attempt = 0; attempt < 10 && !listen(freePort()); ++attempt) {
        }
        EXPECT_TRUE(listener_.valid()) << "no free port to listen on";
        startThread();
    }
    ~FakeMonitor() { stop(); }
    uint16_t port() const { return port_; }
    // Messages received that were not "status".
    int others() const { return others_.load(); }

    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        clients_.clear();
        listener_.reset();
    }
    void start() {
        // The port was ours a moment ago; bind with SO_REUSEADDR, retrying for a while.
        ASSERT_TRUE(waitUntil([&] { return listen(port_); }, 10s));
        startThread();
    }

private:
    bool listen(uint16_t port) {
        FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd.get(), 8) != 0) {
            return false;
        }
        listener_ = std::move(fd);
        port_ = port;
        return true;
    }

    void startThread() {
        running_ = true;
        thread_ = std::thread([this] { run(); });
    }

    static void sendTo(int fd, const std::string& text) {
        (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    std::string statusBlock() const {
        std::string counters = ",frames " + std::to_string(tick_ * 3) +
                               ",crc failures 0,garbage bytes 0,acks sent 9,commands sent 4,"
                               "retries 0,dropped 0,timeouts 0";
        return "status_version:0.1.0;status_uptime:" + std::to_string(tick_ / 10) +
               ";status_client:none;status_observers:" + std::to_string(clients_.size()) +
               ";status_port:ttyUSB0,62,on" + counters + ";status_port:ttyUSB1,34,on" + counters +
               ";status_port:ttyUSB2,unidentified,off" + counters + ";status_end:1;";
    }

    std::string telemetry() const {
        std::string text = "device_rpm:" + std::to_string(100 + tick_ * 7 % 1400) +
                           ";device_temperature1:" + std::to_string(20 + tick_ % 5) +
                           ";pressure_pressure:" + std::to_string(1000 + tick_) + ";";
        if (tick_ % 5 == 0) {
            text += "injector_chart:";
            for (int i = 0; i < 80; ++i) {
                char point[32];
                std::snprintf(point, sizeof point, "%s%.2f", i ? "," : "",
                              std::sin((i + tick_) / 6.0) * 3);
                text += point;
            }
            text += ";";
        }
        for (int key = 0; key < extraKeys_; ++key) {
            text += "extra_key" + std::to_string(key) + ":" + std::to_string(tick_) + ";";
        }
        return text;
    }

    void run() {
        auto nextTick = std::chrono::steady_clock::now();
        while (running_) {
            std::vector<pollfd> fds = {{listener_.get(), POLLIN, 0}};
            for (const Client& client : clients_) {
                fds.push_back({client.fd.get(), POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 20);
            if (fds[0].revents & POLLIN) {
                FileDescriptor fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (fd.valid()) {
                    sendTo(fd.get(), "device_connected:34;device_connected:62;");
                    clients_.push_back(Client{std::move(fd), {}});
                }
            }
            // Only the clients that were polled: one accepted just now has no entry yet.
            for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
                if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) {
                    continue;
                }
                char buffer[4096];
                ssize_t n = ::recv(clients_[i].fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0) {
                    clients_[i].fd.reset();
                    continue;
                }
                clients_[i].input.append(buffer, n);
                for (std::size_t end; (end = clients_[i].input.find(';')) != std::string::npos;) {
                    std::string message = clients_[i].input.substr(0, end);
                    clients_[i].input.erase(0, end + 1);
                    others_ += message != "status";
                    sendTo(clients_[i].fd.get(),
                           message == "status" ? statusBlock() : "monitor_error:unknown;");
                }
            }
            clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                          [](const Client& c) { return !c.fd.valid(); }),
                           clients_.end());
            if (std::chrono::steady_clock::now() >= nextTick) {
                nextTick += 100ms;
                ++tick_;
                for (const Client& client : clients_) {
                    sendTo(client.fd.get(), telemetry());
                }
            }
        }
    }

    struct Client {
        FileDescriptor fd;
        std::string input;
    };
    FileDescriptor listener_;
    uint16_t port_ = 0;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::vector<Client> clients_;  // the server thread's only while it runs
    long tick_ = 0;
    const int extraKeys_;
    std::atomic<int> others_{0};
};

}  // namespace

TEST(BenchctlE2e, MonitorReconnectsAndStatusPrintsThePorts) {
    FakeMonitor server;
    Process status({benchctl(), "--port", std::to_string(server.port()), "status"});
    ASSERT_EQ(status.wait(15s), 0) << status.err();
    for (const char* shown : {"benchd 0.1.0", "control client: none", "ttyUSB2", "62 STAND62",
                              "crc failures", "unidentified"}) {
        EXPECT_NE(status.out().find(shown), std::string::npos) << shown << "\n" << status.out();
    }

    Process monitor({benchctl(), "--port", std::to_string(server.port()), "monitor", "device_rpm"});
    ASSERT_TRUE(monitor.waitForOut("device_rpm:", 10s)) << monitor.err();
    server.stop();
    ASSERT_TRUE(monitor.waitForErr("benchctl: connection lost, reconnecting...\n", 10s));
    server.start();
    ASSERT_TRUE(monitor.waitForErr("benchctl: reconnected\n", 15s)) << monitor.err();
    const std::size_t before = occurrences(monitor.out(), "device_rpm:");
    EXPECT_TRUE(
        waitUntil([&] { return occurrences(monitor.out(), "device_rpm:") >= before + 3; }, 10s))
        << "the monitor goes on receiving";
    EXPECT_EQ(occurrences(monitor.err(), "connection lost"), 1u) << monitor.err();
    EXPECT_EQ(monitor.stop(), 0);
}

namespace {

// A tmux server of the test's own (its own socket), killed when the test ends.
class Tmux {
public:
    Tmux() : socket_("benchctl-e2e-" + std::to_string(::getpid())) {}
    ~Tmux() { run({"kill-server"}); }
    // Runs a tmux command; its exit status, its standard output in `out`.
    int run(const std::vector<std::string>& args, std::string* out = nullptr) const {
        std::string command = "env -u TMUX tmux -L " + socket_ + " -f /dev/null";
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        command += " 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) {
            return -1;
        }
        char buffer[4096];
        std::string text;
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            text.append(buffer, n);
        }
        int status = ::pclose(pipe);
        if (out) {
            *out = text;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string capture() const {
        std::string screen;
        run({"capture-pane", "-p", "-t", "top"}, &screen);
        return screen;
    }

private:
    std::string socket_;
};

// The widest line of a screen capture, in characters (UTF-8 continuation bytes not counted).
std::size_t widest(const std::string& screen) {
    std::size_t widest = 0;
    std::size_t width = 0;
    for (char c : screen) {
        if (c == '\n') {
            widest = std::max(widest, width);
            width = 0;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++width;
        }
    }
    return std::max(widest, width);
}

std::string speedOf(const std::string& screen) {
    std::smatch match;
    return std::regex_search(screen, match, std::regex("stand speed (\\d+)")) ? match[1].str() : "";
}

}  // namespace

TEST(BenchctlE2e, TopInATerminalSurvivesResizeAndRestartAndQuitsOnQ) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tmux is not installed (see the README's install line)";
    }
    FakeMonitor server;
    Tmux tmux;
    ASSERT_EQ(tmux.run({"new-session", "-d", "-s", "top", "-x", "120", "-y", "40",
                        "env LANG=C.UTF-8 TERM=screen " + benchctl() + " top --port " +
                            std::to_string(server.port())}),
              0);
    std::string screen;
    auto shows = [&](const std::vector<std::string>& texts) {
        return waitUntil(
            [&] {
                screen = tmux.capture();
                for (const std::string& text : texts) {
                    if (screen.find(text) == std::string::npos) {
                        return false;
                    }
                }
                return true;
            },
            15s);
    };
    ASSERT_TRUE(shows({"ttyUSB0", "ttyUSB2", "62 STAND62", "stand speed", "pressure",
                       "injector_chart: 80 points", "\xe2\xa0"}))
        << screen;
    const std::string speed = speedOf(screen);
    EXPECT_TRUE(waitUntil([&] { return speedOf(tmux.capture()) != speed; }, 10s))
        << "the values move";

    ASSERT_EQ(tmux.run({"resize-window", "-t", "top", "-x", "70", "-y", "20"}), 0);
    EXPECT_TRUE(waitUntil(
        [&] {
            screen = tmux.capture();
            return widest(screen) <= 70 && screen.find("ttyUSB0") != std::string::npos;
        },
        10s))
        << screen;

    server.stop();
    EXPECT_TRUE(shows({"connection lost, reconnecting"})) << screen;
    server.start();
    EXPECT_TRUE(shows({"reconnected to", "ttyUSB0"})) << screen;

    ASSERT_EQ(tmux.run({"send-keys", "-t", "top", "q"}), 0);
    EXPECT_TRUE(waitUntil(
        [&] {
            return tmux.run({"has-session", "-t", "top"}) != 0;
        },
        10s))
        << "q quits";
}

// benchctl web beside the fake monitor port: what a browser and a script get over HTTP, that
// nothing but GET and HEAD is taken, the viewers' limit, the event stream's format, and the
// daemon going away and coming back.
TEST(BenchctlWebE2e, ServesThePageJsonAndEventsReadOnly) {
    FakeMonitor server;
    web_e2e::WebTool web(server.port(), {"--max-viewers", "3"});
    ASSERT_NE(web.port, 0) << web.process->out() << web.process->err();
    httplib::Client http("127.0.0.1", web.port);
    http.set_read_timeout(10, 0);

    struct Case {
        const char* method;
        const char* path;
        int status;
        const char* type;  // the start of the Content-Type, "" for any
    };
    for (const Case& c : std::vector<Case>{
             {"GET", "/", 200, "text/html"},
             {"GET", "/page.js", 200, "text/javascript"},
             {"GET", "/page.css", 200, "text/css"},
             {"GET", "/api/status", 200, "application/json"},
             {"GET", "/api/values", 200, "application/json"},
             {"HEAD", "/", 200, "text/html"},
             {"HEAD", "/events", 200, "text/event-stream"},
             {"GET", "/nowhere", 404, "text/plain"},
             {"GET", "/api/", 404, ""},
             {"POST", "/", 405, "text/plain"},
             {"POST", "/api/status", 405, ""},
             {"PUT", "/api/values", 405, ""},
             {"DELETE", "/", 405, ""},
             {"PATCH", "/events", 405, ""},
         }) {
        httplib::Result result =
            std::string(c.method) == "GET"    ? http.Get(c.path)
            : std::string(c.method) == "HEAD" ? http.Head(c.path)
            : std::string(c.method) == "POST" ? http.Post(c.path, "device_rpm:1500;", "text/plain")
            : std::string(c.method) == "PUT"  ? http.Put(c.path, "device_rpm:1500;", "text/plain")
            : std::string(c.method) == "DELETE" ? http.Delete(c.path)
                                                : http.Patch(c.path, "x", "text/plain");
        ASSERT_TRUE(result) << c.method << " " << c.path << ": "
                            << httplib::to_string(result.error());
        EXPECT_EQ(result->status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(result->get_header_value("Content-Type").rfind(c.type, 0), 0u)
            << c.method << " " << c.path << ": " << result->get_header_value("Content-Type");
        if (c.status == 405) {
            EXPECT_EQ(result->get_header_value("Allow"), "GET, HEAD");
        }
        if (std::string(c.method) == "HEAD") {
            EXPECT_TRUE(result->body.empty());
        }
    }
    EXPECT_EQ(server.others(), 0) << "nothing but status; reaches the daemon";

    // A second page on the same port is refused, not served beside the first.
    const std::string taken = "127.0.0.1:" + std::to_string(web.port);
    Process second({benchctl(), "web", "--listen", taken, "--monitor",
                    "127.0.0.1:" + std::to_string(server.port())});
    EXPECT_EQ(second.wait(15s), 1) << second.out();
    EXPECT_EQ(second.err(), "benchctl: cannot listen on " + taken + ": Address already in use\n");

    // The JSON for scripts, once the status block and the values are in.
    nlohmann::json status, values;
    ASSERT_TRUE(waitUntil(
        [&] {
            auto s = http.Get("/api/status");
            auto v = http.Get("/api/values");
            if (!s || !v) {
                return false;
            }
            status = nlohmann::json::parse(s->body, nullptr, false);
            values = nlohmann::json::parse(v->body, nullptr, false);
            return !status.is_discarded() && !values.is_discarded() &&
                   status["ports"].size() == 3 && !values["charts"].empty();
        },
        20s))
        << status.dump() << values.dump();
    EXPECT_EQ(status["benchd"]["version"], "0.1.0");
    EXPECT_TRUE(status["link"]["up"]);
    EXPECT_EQ(status["ports"][0]["board"], "62 STAND62");
    EXPECT_EQ(status["viewers"]["max"], 3);
    EXPECT_EQ(values["boards"][0]["board"], "stand");
    EXPECT_EQ(values["boards"][0]["values"][0]["key"], "device_rpm");
    EXPECT_EQ(values["charts"][0]["count"], 80) << "scripts get every point";

    // The event stream: a whole picture first, then events, each one line of JSON.
    std::string body;
    {
        httplib::Client browser("127.0.0.1", web.port);  // gone, and its stream closed, after
        browser.Get("/events", [&](const char* data, std::size_t length) {
            body.append(data, length);
            return web_e2e::parseEvents(body).size() < 12;
        });
    }
    std::vector<web_e2e::SseEvent> events = web_e2e::parseEvents(body);
    ASSERT_GE(events.size(), 12u) << body;
    EXPECT_EQ(body.rfind("retry: ", 0), 0u) << body.substr(0, 100);
    EXPECT_EQ(events[0].name, "state");
    std::set<std::string> names;
    for (const web_e2e::SseEvent& event : events) {
        names.insert(event.name);
        EXPECT_FALSE(nlohmann::json::parse(event.data, nullptr, false).is_discarded())
            << event.name << ": " << event.data;
    }
    EXPECT_TRUE(names.count("value")) << body;

    // A browser that went away gives its place back.
    EXPECT_TRUE(waitUntil(
        [&] {
            auto s = http.Get("/api/status");
            return s && nlohmann::json::parse(s->body)["viewers"]["count"] == 0;
        },
        10s));

    // At most three viewers at once; one more is refused until one goes.
    const std::string request = "GET /events HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::vector<std::unique_ptr<TcpClient>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(std::make_unique<TcpClient>(web.port));
        viewers.back()->send(request);
        ASSERT_TRUE(viewers.back()->waitFor("event: state", 10s))
            << i << ": " << viewers.back()->received().substr(0, 300);
    }
    TcpClient refused(web.port);
    refused.send(request);
    ASSERT_TRUE(refused.waitFor("\r\n\r\n", 10s));
    EXPECT_EQ(refused.received().rfind("HTTP/1.1 503", 0), 0u) << refused.received();
    viewers.pop_back();
    EXPECT_TRUE(waitUntil(
        [&] {
            TcpClient again(web.port);
            again.send(request);
            return again.waitFor("\r\n\r\n", 5s) && again.received().rfind("HTTP/1.1 200", 0) == 0;
        },
        20s))
        << "a place is free again once a viewer leaves";

    // The daemon goes: the banner says since when; it comes back: the banner goes and the
    // values flow again.
    server.stop();
    ASSERT_TRUE(viewers[0]->waitFor("benchd unreachable since ", 10s));
    auto down = http.Get("/api/status");
    ASSERT_TRUE(down);
    EXPECT_FALSE(nlohmann::json::parse(down->body)["link"]["up"]);
    EXPECT_TRUE(
        std::regex_search(nlohmann::json::parse(down->body)["link"]["banner"].get<std::string>(),
                          std::regex("^benchd unreachable since \\d\\d:\\d\\d:\\d\\d$")));
    server.start();
    ASSERT_TRUE(viewers[0]->waitFor("\"up\":true", 15s));
    const std::size_t before = occurrences(viewers[0]->received(), "event: value");
    EXPECT_TRUE(waitUntil(
        [&] { return occurrences(viewers[0]->received(), "event: value") > before + 10; }, 15s));
    EXPECT_EQ(web.process->stop(2), 0) << web.process->err();
}

// One browser that never reads beside twenty that do: the twenty keep getting their events,
// and benchctl web's memory stays bounded.
TEST(BenchctlWebE2e, AViewerThatNeverReadsCostsTheOthersNothing) {
    FakeMonitor server(30);  // some 330 value events a second
    web_e2e::WebTool web(server.port());
    ASSERT_NE(web.port, 0) << web.process->out() << web.process->err();
    const std::string request = "GET /events HTTP/1.1\r\nHost: bench\r\n\r\n";
    auto open = [&](int receiveBuffer) {
        FileDescriptor fd = harness::connectOnce(web.port, {receiveBuffer, ""});
        EXPECT_TRUE(fd.valid());
        EXPECT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        return fd;
    };
    // Small buffers, so that its stream backs up into benchctl web at once.
    FileDescriptor stuck = open(2048);
    std::vector<FileDescriptor> viewers;
    for (int i = 0; i < 20; ++i) {
        viewers.push_back(open(0));
    }

    // Each reader counts its value events as they come (only the new bytes are searched).
    const std::string needle = "event: value\n";
    std::vector<std::string> tails(viewers.size());
    std::vector<std::size_t> counts(viewers.size());
    const long startKb = web_e2e::residentKb(web.process->pid());
    long mostKb = startKb;
    // Long enough for the stuck one's buffers to fill and its writes to time out.
    const std::size_t wanted = 3000;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    static char buffer[65536];
    while (*std::min_element(counts.begin(), counts.end()) < wanted &&
           std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (const FileDescriptor& fd : viewers) {
            fds.push_back({fd.get(), POLLIN, 0});
        }
        ::poll(fds.data(), fds.size(), 100);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) {
                continue;
            }
            ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
            ASSERT_GT(n, 0) << "viewer " << i << " was closed: " << web.process->err();
            std::string text = tails[i] + std::string(buffer, static_cast<std::size_t>(n));
            counts[i] += occurrences(text, needle);
            tails[i] = text.substr(text.size() - std::min(text.size(), needle.size() - 1));
        }
        mostKb = std::max(mostKb, web_e2e::residentKb(web.process->pid()));
    }
    EXPECT_GE(*std::min_element(counts.begin(), counts.end()), wanted) << "a reader fell behind";
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer holds freed memory in its quarantine (256 MB by default) before reuse.
    constexpr long GROWTH_LIMIT_KB = 512 * 1024;
#else
    constexpr long GROWTH_LIMIT_KB = 64 * 1024;
#endif
    EXPECT_LT(mostKb - startKb, GROWTH_LIMIT_KB) << "kB grown beside a viewer that never reads";
    httplib::Client http("127.0.0.1", web.port);
    auto status = http.Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_GE(nlohmann::json::parse(status->body)["viewers"]["count"], 20);
    EXPECT_EQ(web.process->stop(2), 0) << web.process->err();
}
// The real daemon's monitor port, once benchd has one (its --help names --monitor-port).
TEST(BenchctlE2e, StatusFromTheDaemonsMonitorPort) {
    Process help({benchdPath(), "--help"});
    help.wait(10s);
    if ((help.out() + help.err()).find("--monitor-port") == std::string::npos) {
        GTEST_SKIP() << "benchd has no --monitor-port yet";
    }
    TempDir dir;
    const uint16_t monitorPort = freePort();
    uint16_t port = 0;
    std::unique_ptr<Process> daemon =
        startDaemon({"--dev-dir", dir.path(), "--monitor-port", std::to_string(monitorPort)}, port);
    TcpClient control(port);
    ASSERT_TRUE(control.connected());
    ASSERT_TRUE(daemon->waitForOut("Connection established.", 10s));
    Process status({benchctl(), "--port", std::to_string(monitorPort), "status"});
    ASSERT_EQ(status.wait(15s), 0) << status.err();
    EXPECT_NE(status.out().find("control client: 127.0.0.1:"), std::string::npos) << status.out();
    EXPECT_NE(status.out().find("observers: 1"), std::string::npos) << status.out();
}

// The demo's bench: simulated boards, the real daemon. `top` in a terminal and the scrolling
// monitor beside it follow the daemon through a restart, each saying so once.
TEST(BenchctlE2e, TopAndMonitorOnASimulatedBenchFollowTheDaemonThroughARestart) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tmux is not installed (see the README's install line)";
    }
    const uint16_t monitorPort = freePort();
    sim_e2e::SimBench demo(sim_e2e::DEMO_BOARDS, {"--monitor-port", std::to_string(monitorPort)});
    std::unique_ptr<TcpClient> control;
    // A control client setting the stand turning and the tester recording.
    auto drive = [&] {
        control = sim_e2e::driveDemoBench(
            demo.port(),
            "device_active:1;device_rpm:1500;device_temperature:40;osc:1;"
            "injector_active:1;injector_i1:20;injector_i2:12;regulator1_active:1;");
        ASSERT_TRUE(control) << demo.daemon().out();
    };
    ASSERT_NO_FATAL_FAILURE(drive());

    Tmux tmux;
    ASSERT_EQ(tmux.run({"new-session", "-d", "-s", "top", "-x", "150", "-y", "60",
                        "env LANG=C.UTF-8 TERM=screen " + benchctl() + " top --port " +
                            std::to_string(monitorPort)}),
              0);
    Process monitor({benchctl(), "--port", std::to_string(monitorPort), "monitor", "device_rpm"});
    std::string screen;
    auto shows = [&](const std::vector<std::string>& texts) {
        return waitUntil(
            [&] {
                screen = tmux.capture();
                return std::all_of(texts.begin(), texts.end(), [&](const std::string& text) {
                    return screen.find(text) != std::string::npos;
                });
            },
            30s);
    };
    // The ports table with the four boards, values with their units, the stand's speed against
    // the control client's set-point, a chart drawn in braille.
    const std::vector<std::string> bench{
        "ttyUSB0", "62 STAND62",  "ttyUSB1",        "ttyUSB2",  "ttyUSB3",
        "degrees", "stand speed", "injector_chart", "\xe2\xa0", "set-point 1500 rpm",
        "ch10"};
    ASSERT_TRUE(shows(bench)) << screen;
    // Values a technician reads: the speed in rpm, switches in words, the delay meter's three
    // figures by name, and no placeholder where the unit is the board's own.
    const std::regex readable[] = {
        std::regex("stand speed \\d+ rpm"),
        std::regex("rotation +running"),
        std::regex("fan +off"),
        std::regex("regulator 1 +on"),
        std::regex("regulator 2 +off"),
        std::regex("delay +min \\d+ \xc2\xb7 max -?\\d+ \xc2\xb7 avg -?\\d+")};
    EXPECT_TRUE(waitUntil(
        [&] {
            screen = tmux.capture();
            return std::all_of(std::begin(readable), std::end(readable),
                               [&](const std::regex& re) { return std::regex_search(screen, re); });
        },
        30s))
        << screen;
    for (const char* placeholder :
         {"board unit", "setting unit", "set-point unit", "max-time unit", "0 off"}) {
        EXPECT_EQ(screen.find(placeholder), std::string::npos) << placeholder << "\n" << screen;
    }
    EXPECT_TRUE(waitUntil([&] { return std::atoi(speedOf(tmux.capture()).c_str()) > 0; }, 20s))
        << "the stand turns";
    ASSERT_TRUE(monitor.waitForOut("device_rpm:", 10s)) << monitor.err();

    control.reset();
    demo.stopDaemon();
    EXPECT_TRUE(shows({"connection lost, reconnecting"})) << screen;
    ASSERT_TRUE(monitor.waitForErr("benchctl: connection lost, reconnecting...\n", 10s));
    demo.restartDaemon();
    ASSERT_NO_FATAL_FAILURE(drive());
    EXPECT_TRUE(shows({"reconnected to"})) << screen;
    EXPECT_TRUE(shows(bench)) << screen;
    ASSERT_TRUE(monitor.waitForErr("benchctl: reconnected\n", 15s)) << monitor.err();
    EXPECT_EQ(occurrences(monitor.err(), "connection lost"), 1u) << monitor.err();
    EXPECT_EQ(monitor.stop(), 0);

    ASSERT_EQ(tmux.run({"send-keys", "-t", "top", "q"}), 0);
    EXPECT_TRUE(waitUntil(
        [&] {
            return tmux.run({"has-session", "-t", "top"}) != 0;
        },
        10s))
        << "q quits";
}
