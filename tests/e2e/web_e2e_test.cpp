// The bench in a browser: Debian's chromium, headless, keeps `benchctl web`'s page open beside
// the real daemon on benchsim's four boards, and what the page shows is read from its live
// DOM: the boards, values that move, the six charts, the stand's speed against its set-point,
// the banner while the daemon is away and its going when the daemon is back.
// BENCHD_WRITE_SCREENSHOT=1 writes the page's screenshot to docs/web.png.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "simbench.h"
#include "testsupport.h"
#include "webtool.h"

using namespace testing_support;

namespace {

// Debian's chromium on the PATH; empty when it is not installed.
std::string chromiumPath() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        end = end == std::string::npos ? dirs.size() : end;
        const std::string candidate = dirs.substr(at, end - at) + "/chromium";
        if (end > at && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return {};
}

// One headless chromium, driven over its DevTools pipe (file descriptors 3 and 4, messages
// of JSON ended by a NUL): it opens the page once and keeps it live, and the test reads the
// page's DOM whenever it wants, as a person would look at the screen again.
class Browser {
public:
    explicit Browser(const std::string& url) {
        int toBrowser[2];
        int fromBrowser[2];
        if (::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        const std::vector<std::string> args{chromiumPath(),
                                            "--headless",
                                            "--no-sandbox",
                                            "--disable-gpu",
                                            "--no-first-run",
                                            "--mute-audio",
                                            "--hide-scrollbars",
                                            "--disable-extensions",
                                            "--window-size=1280,1560",
                                            "--remote-debugging-pipe",
                                            "--user-data-dir=" + profile_.path(),
                                            "about:blank"};
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(toBrowser[0], 3);
            ::dup2(fromBrowser[1], 4);
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(toBrowser[0]);
        ::close(fromBrowser[1]);
        out_ = FileDescriptor(toBrowser[1]);
        in_ = FileDescriptor(fromBrowser[0]);
        nlohmann::json target = call("Target.createTarget", {{"url", url}});
        nlohmann::json attached =
            call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
        session_ = attached.value("sessionId", "");
        EXPECT_FALSE(session_.empty()) << attached.dump();
    }
    ~Browser() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The page's DOM now.
    std::string dom() {
        nlohmann::json result =
            call("Runtime.evaluate",
                 {{"expression", "document.documentElement.outerHTML"}, {"returnByValue", true}},
                 session_);
        return result["result"].value("value", "");
    }
    // A PNG of the page as shown.
    std::string screenshot() {
        nlohmann::json result = call("Page.captureScreenshot", {{"format", "png"}}, session_);
        return decodeBase64(result.value("data", ""));
    }

private:
    nlohmann::json call(const std::string& method, const nlohmann::json& params,
                        const std::string& session = {}) {
        nlohmann::json message = {{"id", ++lastId_}, {"method", method}, {"params", params}};
        if (!session.empty()) {
            message["sessionId"] = session;
        }
        const std::string text = message.dump() + '\0';
        if (::write(out_.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            ADD_FAILURE() << method << ": the browser does not take commands";
            return nlohmann::json::object();
        }
        // Its answer, past the events that come in between.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (std::size_t end; (end = input_.find('\0')) != std::string::npos;) {
                nlohmann::json reply = nlohmann::json::parse(input_.substr(0, end), nullptr, false);
                input_.erase(0, end + 1);
                if (reply.is_object() && reply.value("id", 0) == lastId_) {
                    EXPECT_FALSE(reply.contains("error")) << method << ": " << reply.dump();
                    return reply.value("result", nlohmann::json::object());
                }
            }
            pollfd entry{in_.get(), POLLIN, 0};
            if (::poll(&entry, 1, 200) > 0) {
                char buffer[65536];
                ssize_t n = ::read(in_.get(), buffer, sizeof buffer);
                if (n <= 0) {
                    ADD_FAILURE() << method << ": the browser ended";
                    return nlohmann::json::object();
                }
                input_.append(buffer, static_cast<std::size_t>(n));
            }
        }
        ADD_FAILURE() << method << ": no answer from the browser within 60 s";
        return nlohmann::json::object();
    }

    static std::string decodeBase64(const std::string& text) {
        static const std::string alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        unsigned bits = 0;
        int count = 0;
        for (char c : text) {
            std::size_t at = alphabet.find(c);
            if (at == std::string::npos) {
                continue;  // padding
            }
            bits = (bits << 6) | static_cast<unsigned>(at);
            count += 6;
            if (count >= 8) {
                count -= 8;
                out += static_cast<char>((bits >> count) & 0xff);
            }
        }
        return out;
    }

    TempDir profile_;
    pid_t pid_ = -1;
    FileDescriptor out_, in_;
    std::string input_;
    std::string session_;
    int lastId_ = 0;
};

// The text of every value cell, by key and row ("device_rpm#0").
std::map<std::string, std::string> valuesIn(const std::string& dom) {
    std::map<std::string, std::string> values;
    const std::regex row(
        R"RE(<tr data-key="([^"]+)"[^>]*><th scope="row">[^<]*</th><td class="text">([^<]*)</td>)RE");
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator();
         ++it) {
        std::string key = (*it)[1].str() + "#";
        int n = 0;
        while (values.count(key + std::to_string(n))) {
            ++n;
        }
        values[key + std::to_string(n)] = (*it)[2].str();
    }
    return values;
}

std::string find(const std::string& dom, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(dom, match, std::regex(pattern)) ? match[1].str() : std::string();
}

}  // namespace

TEST(WebE2e, ABrowserFollowsTheSimulatedBenchThroughADaemonRestart) {
    if (chromiumPath().empty()) {
        GTEST_SKIP() << "chromium is not installed (see the README's install line)";
    }
    const uint16_t monitorPort = freePort();
    sim_e2e::SimBench bench(sim_e2e::DEMO_BOARDS, {"--monitor-port", std::to_string(monitorPort)});
    std::unique_ptr<TcpClient> control;
    // A control client setting the stand turning and the tester recording its six charts.
    auto drive = [&] {
        control =
            sim_e2e::driveDemoBench(bench.port(),
                                    "device_active:1;device_rpm:1500;device_temperature:40;osc:1;"
                                    "injector_active:1;injector_i1:20;injector_i2:12;");
        ASSERT_TRUE(control) << bench.daemon().out();
        ASSERT_TRUE(control->waitFor("injector_chart6:", 20s));
    };
    ASSERT_NO_FATAL_FAILURE(drive());
    web_e2e::WebTool web(monitorPort);
    ASSERT_NE(web.port, 0) << web.process->out() << web.process->err();
    const std::string url = "http://127.0.0.1:" + std::to_string(web.port) + "/";
    Browser browser(url);

    // The page as it comes to hold the whole bench: boards, charts, speed and set-point.
    std::string first;
    auto holds = [&](const std::function<bool(const std::string&)>& test) {
        return waitUntil(
            [&] {
                first = browser.dom();
                return test(first);
            },
            60s);
    };
    auto whole = [](const std::string& dom) {
        return occurrences(dom, "<polyline class=\"trace\" points=\"") == 6 &&
               dom.find("<output id=\"setpoint\">1500<") != std::string::npos &&
               dom.find("data-key=\"delay_meter\"") != std::string::npos &&
               dom.find("data-key=\"pressure_pressure\"") != std::string::npos &&
               dom.find("data-key=\"device_active\"") != std::string::npos &&
               dom.find("data-key=\"device_fan\"") != std::string::npos &&
               dom.find("data-port=\"ttyUSB3\"") != std::string::npos;
    };
    ASSERT_TRUE(holds(whole)) << first;
    for (const char* board : {"stand", "injector tester", "flowmeter", "delay meter"}) {
        EXPECT_EQ(find(first, std::string(R"RE(<section class="board" data-board=")RE") + board +
                                  R"RE("[^>]*>\s*<h3>[^<]*<small class="ids">([^<]+)</small>)RE"),
                  std::string(board) == "stand"             ? "62 STAND62"
                  : std::string(board) == "injector tester" ? "34 CRIT"
                  : std::string(board) == "flowmeter"       ? "12 FLOWMETER"
                                                            : "5 DELAYMETER")
            << board << "\n"
            << first;
    }
    for (int chart = 1; chart <= 6; ++chart) {
        const std::string figure = "<figure id=\"chart-" + std::to_string(chart) + "\"[^>]*";
        EXPECT_GT(std::atoi(find(first, figure + R"RE(data-points="(\d+))RE").c_str()), 100)
            << "chart " << chart;
    }
    EXPECT_FALSE(find(first, R"RE(<output id="speed">(\d+)<)RE").empty()) << "the stand's speed";
    for (const char* port : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}) {
        EXPECT_NE(first.find(std::string("<tr data-port=\"") + port + "\"><th scope=\"row\">"),
                  std::string::npos)
            << "the ports table has " << port;
    }
    // Values read as a technician reads them: units only where known, words, labelled lists.
    for (const char* placeholder :
         {"board unit", "setting unit", "set-point unit", "max-time unit", "0 off"}) {
        EXPECT_EQ(first.find(placeholder), std::string::npos) << placeholder;
    }
    for (const char* shown : {"rpm", "delay: min", "delay: max", "delay: avg"}) {
        EXPECT_NE(first.find(shown), std::string::npos) << shown << "\n" << first;
    }
    const std::string cell = R"RE("[^>]*><th[^>]*>[^<]*</th><td class="text">([^<]*)<)RE";
    const std::string rotation = find(first, "data-key=\"device_active" + cell);
    EXPECT_TRUE(rotation == "running" || rotation == "stopped") << rotation;
    const std::string fan = find(first, "data-key=\"device_fan" + cell);
    EXPECT_TRUE(fan == "on" || fan == "off") << fan;
    const std::string hidden = R"RE(<div id="banner" role="alert" hidden="">)RE";
    EXPECT_EQ(find(first, R"RE((<div id="banner"[^>]*>))RE"), hidden);
    std::map<std::string, std::string> before = valuesIn(first);
    EXPECT_GE(before.size(), 20u) << first;
    for (const char* key :
         {"device_rpm#0", "pressure_pressure#0", "flowmeter_flow#0", "delay_meter#0"}) {
        EXPECT_TRUE(before.count(key)) << key;
    }
    std::string second;
    EXPECT_TRUE(waitUntil(
        [&] {
            second = browser.dom();
            return valuesIn(second) != before;
        },
        20s))
        << "values move between two looks";

    const std::string png = browser.screenshot();
    // A blank page of that size compresses to a few kB; the bench's tables and plots do not.
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_GT(png.size(), 40u * 1024);
    const char* write = std::getenv("BENCHD_WRITE_SCREENSHOT");
    if (write && *write) {
        std::ofstream(std::string(BENCHD_DOCS_DIR) + "/web.png", std::ios::binary) << png;
    }

    control.reset();
    bench.stopDaemon();
    std::string away;
    EXPECT_TRUE(waitUntil(
        [&] {
            away = browser.dom();
            return std::regex_search(
                away,
                std::regex(
                    R"RE(<div id="banner" role="alert">benchd unreachable since \d\d:\d\d:\d\d</div>)RE"));
        },
        30s))
        << find(away, R"RE((<div id="banner"[^<]*</div>))RE");

    bench.restartDaemon();
    ASSERT_NO_FATAL_FAILURE(drive());
    std::string back;
    EXPECT_TRUE(waitUntil(
        [&] {
            back = browser.dom();
            return find(back, R"RE((<div id="banner"[^>]*>))RE") == hidden;
        },
        30s))
        << "the banner goes";
    const std::map<std::string, std::string> again = valuesIn(back);
    EXPECT_TRUE(waitUntil([&] { return valuesIn(browser.dom()) != again; }, 20s))
        << "values flow again";
    EXPECT_EQ(web.process->stop(2), 0) << web.process->err();
}
