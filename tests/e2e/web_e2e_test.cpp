// The bench in a browser: Debian's chromium, headless, loads `benchctl web`'s page served
// beside the real daemon on benchsim's four boards, and what the page shows is read from its
// DOM: the boards, values that move, the six charts, the stand's speed against its set-point,
// the banner while the daemon is away. BENCHD_WRITE_SCREENSHOT=1 writes docs/web.png.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "testsupport.h"
#include "webtool.h"

using namespace testing_support;

namespace {

// Runs chromium once on `url` and gives its --dump-dom output, or writes a screenshot.
class Browser {
public:
    // The page's DOM after it has run for `ms` (its live updates included).
    std::string dom(const std::string& url, int ms) {
        return run({"--dump-dom", "--timeout=" + std::to_string(ms), url});
    }
    void screenshot(const std::string& url, int ms, const std::string& file) {
        run({"--screenshot=" + file, "--window-size=1280,1000", "--hide-scrollbars",
             "--timeout=" + std::to_string(ms), url});
    }

private:
    std::string run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"chromium",
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--no-first-run",
                                      "--mute-audio",
                                      "--disable-extensions",
                                      "--user-data-dir=" + profile_.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        Process chrome(argv);
        EXPECT_EQ(chrome.wait(120s), 0) << chrome.err().substr(0, 2000);
        return chrome.out();
    }
    TempDir profile_;
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
    if (std::system("command -v chromium >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "chromium is not installed (see the README's install line)";
    }
    TempDir dir;
    Process sim({std::string(BENCHD_TOOLS_DIR) + "/benchsim", "--dir", dir.path(),
                 "stand62=ttyUSB0", "crit=ttyUSB1", "flowmeter=ttyUSB2", "delaymeter=ttyUSB3"});
    ASSERT_TRUE(
        waitUntil([&] { return ::access((dir.path() + "/ttyUSB3").c_str(), F_OK) == 0; }, 10s));
    const uint16_t monitorPort = freePort();
    const std::vector<std::string> args{"--dev-dir", dir.path(), "--monitor-port",
                                        std::to_string(monitorPort)};
    uint16_t port = 0;
    std::unique_ptr<Process> daemon;
    std::unique_ptr<TcpClient> control;
    // The daemon, and a control client setting the stand turning and the tester recording its
    // six charts once the boards are known.
    auto startBench = [&] {
        daemon = startDaemon(args, port);
        control = std::make_unique<TcpClient>(port);
        for (const char* board : {"62", "34", "12", "5"}) {
            ASSERT_TRUE(control->waitFor(std::string("device_connected:") + board + ";", 20s));
        }
        control->send(
            "device_active:1;device_rpm:1500;device_temperature:40;osc:1;"
            "injector_active:1;injector_i1:20;injector_i2:12;");
        ASSERT_TRUE(control->waitFor("injector_chart6:", 20s));
    };
    ASSERT_NO_FATAL_FAILURE(startBench());
    web_e2e::WebTool web(monitorPort);
    ASSERT_NE(web.port, 0) << web.process->out() << web.process->err();
    const std::string url = "http://127.0.0.1:" + std::to_string(web.port) + "/";
    Browser browser;

    std::string first = browser.dom(url, 4000);
    for (const char* board : {"stand", "injector tester", "flowmeter", "delay meter"}) {
        EXPECT_EQ(find(first, std::string(R"(<section class="board" data-board=")") + board +
                                  R"("[^>]*>\s*<h3>[^<]*<small class="ids">([^<]+)</small>)"),
                  std::string(board) == "stand"             ? "62 STAND62"
                  : std::string(board) == "injector tester" ? "34 CRIT"
                  : std::string(board) == "flowmeter"       ? "12 FLOWMETER"
                                                            : "5 DELAYMETER")
            << board << "\n"
            << first;
    }
    for (int chart = 1; chart <= 6; ++chart) {
        const std::string figure = "<figure id=\"chart-" + std::to_string(chart) + "\"[^>]*";
        EXPECT_GT(std::atoi(find(first, figure + R"(data-points="(\d+))").c_str()), 100)
            << "chart " << chart;
    }
    EXPECT_EQ(occurrences(first, "<polyline class=\"trace\" points=\""), 6u);
    EXPECT_EQ(find(first, R"(<output id="setpoint">([^<]*)<)"), "1500");
    EXPECT_FALSE(find(first, R"(<output id="speed">(\d+)<)").empty()) << "the stand's speed";
    for (const char* port : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}) {
        EXPECT_NE(first.find(std::string("<tr data-port=\"") + port + "\"><th scope=\"row\">"),
                  std::string::npos)
            << "the ports table has " << port;
    }
    EXPECT_EQ(find(first, R"((<div id="banner"[^>]*>))"),
              R"(<div id="banner" role="alert" hidden="">)");

    std::map<std::string, std::string> before = valuesIn(first);
    EXPECT_GE(before.size(), 20u) << first;
    for (const char* key :
         {"device_rpm#0", "pressure_pressure#0", "flowmeter_flow#0", "delay_meter#0"}) {
        EXPECT_TRUE(before.count(key)) << key;
    }
    std::string second = browser.dom(url, 4000);
    std::map<std::string, std::string> after = valuesIn(second);
    EXPECT_NE(before, after) << "values move between two looks";

    const char* write = std::getenv("BENCHD_WRITE_SCREENSHOT");
    TempDir shots;
    const std::string shot =
        write && *write ? std::string(BENCHD_DOCS_DIR) + "/web.png" : shots.path() + "/web.png";
    browser.screenshot(url, 5000, shot);
    std::ifstream png(shot, std::ios::binary | std::ios::ate);
    // A blank page of that size compresses to a few kB; the bench's tables and plots do not.
    EXPECT_GT(static_cast<long>(png.tellg()), 40 * 1024) << shot;

    control.reset();
    daemon->stop();
    std::string away = browser.dom(url, 3000);
    EXPECT_TRUE(std::regex_search(
        away,
        std::regex(
            R"(<div id="banner" role="alert">benchd unreachable since \d\d:\d\d:\d\d</div>)")))
        << find(away, R"((<div id="banner"[^<]*</div>))");

    ASSERT_NO_FATAL_FAILURE(startBench());
    std::string back = browser.dom(url, 4000);
    EXPECT_EQ(find(back, R"((<div id="banner"[^>]*>))"),
              R"(<div id="banner" role="alert" hidden="">)");
    std::string later = browser.dom(url, 4000);
    EXPECT_NE(valuesIn(back), valuesIn(later)) << "values flow again";
    EXPECT_EQ(web.process->stop(2), 0) << web.process->err();
}
