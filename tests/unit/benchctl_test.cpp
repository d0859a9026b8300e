// benchctl: cutting the daemon's stream into messages, the monitor's filter and lines, chart
// messages, the SVG plot (parsed back as XML), the command line, the status block, the
// reconnection back-off, `top`'s model, plot and screen, and the web page's model and its
// viewers' queues.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "backoff.h"
#include "brailleplot.h"
#include "chartmessage.h"
#include "ctloptions.h"
#include "keytable.h"
#include "messagestream.h"
#include "monitorfilter.h"
#include "statusblock.h"
#include "svgchart.h"
#include "topmodel.h"
#include "topscreen.h"
#include "viewerqueue.h"
#include "webmodel.h"

namespace {

std::vector<std::string> drain(MessageStream& stream) {
    std::vector<std::string> messages;
    std::string message;
    while (stream.next(message)) {
        messages.push_back(message);
    }
    return messages;
}

// A minimal XML reader, enough to show that a document is well formed: one root, every
// element closed in order, attributes quoted, only the five predefined entities.
struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
};

bool parseXml(const std::string& text, std::vector<Element>& elements, std::string& error) {
    std::vector<std::string> open;
    int roots = 0;
    size_t at = 0;
    auto fail = [&](const std::string& why) {
        error = why + " at " + std::to_string(at);
        return false;
    };
    auto checkText = [&](const std::string& piece) {
        for (size_t amp = piece.find('&'); amp != std::string::npos;
             amp = piece.find('&', amp + 1)) {
            static const std::regex entity("&(amp|lt|gt|quot|apos);");
            if (!std::regex_search(piece.substr(amp, 6), entity,
                                   std::regex_constants::match_continuous)) {
                return false;
            }
        }
        return piece.find('<') == std::string::npos;
    };
    if (text.compare(0, 5, "<?xml") == 0) {
        at = text.find("?>");
        if (at == std::string::npos) {
            return fail("unterminated declaration");
        }
        at += 2;
    }
    while (at < text.size()) {
        size_t lt = text.find('<', at);
        std::string between =
            text.substr(at, lt == std::string::npos ? std::string::npos : lt - at);
        if (!checkText(between)) {
            return fail("bad character data");
        }
        if (open.empty() && between.find_first_not_of(" \n\r\t") != std::string::npos) {
            return fail("text outside the root");
        }
        if (lt == std::string::npos) {
            break;
        }
        size_t gt = text.find('>', lt);
        if (gt == std::string::npos) {
            return fail("unterminated tag");
        }
        std::string tag = text.substr(lt + 1, gt - lt - 1);
        at = gt + 1;
        if (!tag.empty() && tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) {
                return fail("mismatched </" + tag.substr(1) + ">");
            }
            open.pop_back();
            continue;
        }
        bool selfClosing = !tag.empty() && tag.back() == '/';
        if (selfClosing) {
            tag.pop_back();
        }
        static const std::regex nameRe(R"(^([A-Za-z_][\w.-]*))");
        static const std::regex attrRe(R"(^\s+([A-Za-z_][\w:.-]*)="([^"<]*)\")");
        std::smatch match;
        if (!std::regex_search(tag, match, nameRe)) {
            return fail("bad element name");
        }
        Element element{match[1], {}};
        std::string rest = match.suffix();
        while (std::regex_search(rest, match, attrRe)) {
            if (!checkText(match[2]) || !element.attributes.emplace(match[1], match[2]).second) {
                return fail("bad attribute");
            }
            rest = match.suffix();
        }
        if (rest.find_first_not_of(" \n\t") != std::string::npos) {
            return fail("junk in <" + element.name + ">");
        }
        if (open.empty() && ++roots > 1) {
            return fail("second root");
        }
        elements.push_back(element);
        if (!selfClosing) {
            open.push_back(element.name);
        }
    }
    if (!open.empty() || roots != 1) {
        return fail("unclosed elements");
    }
    return true;
}

}  // namespace

TEST(BenchctlStream, CutsMessagesAtSemicolonsWhateverTheReads) {
    const std::string text = "device_connected:62;device_rpm:1500;;pressure_max:2000;";
    const std::vector<std::string> expected = {"device_connected:62", "device_rpm:1500", "",
                                               "pressure_max:2000"};
    for (size_t split = 0; split <= text.size(); ++split) {
        MessageStream stream;
        stream.feed(text.data(), split);
        std::vector<std::string> got = drain(stream);
        stream.feed(text.data() + split, text.size() - split);
        std::vector<std::string> rest = drain(stream);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, expected) << "split at " << split;
    }
    MessageStream partial;
    partial.feed("device_rpm:15", 13);
    EXPECT_TRUE(drain(partial).empty()) << "no message before its ';'";
}

TEST(BenchctlStream, DropsAnOverlongMessageWholeAndCarriesOn) {
    MessageStream stream;
    std::string huge(MessageStream::MAX_MESSAGE + 10, 'x');
    stream.feed("a:1;", 4);
    stream.feed(huge.data(), huge.size());
    stream.feed(";b:2;", 5);
    EXPECT_EQ(drain(stream), (std::vector<std::string>{"a:1", "b:2"}));
    EXPECT_EQ(stream.dropped(), 1u);
}

TEST(BenchctlMonitor, FiltersByKeyAndStampsEachLine) {
    MonitorFilter all;
    MonitorFilter some({"device_rpm", "pressure_max:"});
    struct Case {
        const char* message;
        bool shownBySome;
    };
    for (const Case& c : std::vector<Case>{{"device_rpm:1500", true},
                                           {"pressure_max:20", true},
                                           {"device_rpm2:1", false},
                                           {"device_rp:1", false},
                                           {"injector_chart:1.00,2.00", false},
                                           {"nokey", false}}) {
        EXPECT_TRUE(all.matches(c.message)) << c.message;
        EXPECT_EQ(some.matches(c.message), c.shownBySome) << c.message;
    }
    auto when = std::chrono::system_clock::from_time_t(1700000000) + std::chrono::milliseconds(42);
    std::optional<std::string> line = some.line(when, "device_rpm:1500");
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(std::regex_match(*line, std::regex(R"(\d\d:\d\d:\d\d\.042 device_rpm:1500)")))
        << *line;
    EXPECT_FALSE(some.line(when, "device_fan:1").has_value());

    MonitorFilter cut({}, 40);
    EXPECT_EQ(cut.line(when, "device_rpm:15")->size(), 13u + 13u) << "short lines stay whole";
    std::string chart = *cut.line(when, "injector_chart:1.00,2.00,3.00");
    EXPECT_EQ(chart.size(), 40u);
    EXPECT_EQ(chart.substr(37), "...");

    // The monitor port's notices pass any filter, uncut and marked.
    for (const char* notice : {"monitor_dropped:57", "monitor_error:too many observers (8)"}) {
        std::optional<std::string> shown = MonitorFilter({"device_rpm"}, 20).line(when, notice);
        ASSERT_TRUE(shown.has_value()) << notice;
        EXPECT_NE(shown->find(std::string("*** ") + notice), std::string::npos) << *shown;
    }
}

TEST(BenchctlChart, ParsesOnlyCompleteWellFormedChartsOfTheChosenNumber) {
    EXPECT_EQ(ChartMessage::keyFor(1), "injector_chart");
    EXPECT_EQ(ChartMessage::keyFor(6), "injector_chart6");
    EXPECT_EQ(ChartMessage::keyFor(7), "");
    struct Case {
        const char* message;
        int chart;
        std::vector<double> values;  // empty: rejected
    };
    const std::vector<Case> cases = {
        {"injector_chart:4.00,2.00,-0.00", 1, {4.0, 2.0, 0.0}},
        {"injector_chart2:1.50", 2, {1.5}},
        {"injector_chart2:1.50", 1, {}},
        {"injector_chart:1.50", 2, {}},
        {"injector_chart22:1.50", 2, {}},
        {"injector_chart:", 1, {}},
        {"injector_chart:1.00,,2.00", 1, {}},
        {"injector_chart:1.00,", 1, {}},
        {"injector_chart:1.00,abc", 1, {}},
        {"injector_chart:nan", 1, {}},
        {"device_rpm:1500", 1, {}},
    };
    for (const Case& c : cases) {
        std::vector<double> values = {99};
        EXPECT_EQ(ChartMessage::parse(c.message, c.chart, values), !c.values.empty()) << c.message;
        if (!c.values.empty()) {
            EXPECT_EQ(values, c.values) << c.message;
        }
    }
}

TEST(BenchctlSvg, IsWellFormedXmlHoldingEveryPointInsideThePlot) {
    std::vector<std::vector<double>> series = {{}, {3.0}, {2.0, 2.0, 2.0}};
    std::vector<double> wave;
    for (int i = 0; i < 200; ++i) {
        wave.push_back(20.0 * std::sin(i / 15.0) - 3.3);
    }
    series.push_back(wave);
    for (const std::vector<double>& values : series) {
        SCOPED_TRACE(std::to_string(values.size()) + " points");
        std::string svg = SvgChart::render("chart <1> & \"2\"", values);
        std::vector<Element> elements;
        std::string error;
        ASSERT_TRUE(parseXml(svg, elements, error)) << error;
        ASSERT_EQ(elements[0].name, "svg");

        int polylines = 0;
        int texts = 0;
        for (const Element& element : elements) {
            texts += element.name == "text";
            if (element.name != "polyline") {
                continue;
            }
            ++polylines;
            std::istringstream points(element.attributes.at("points"));
            std::string point;
            size_t count = 0;
            while (points >> point) {
                double x = 0, y = 0;
                char comma = 0;
                std::istringstream pair(point);
                ASSERT_TRUE(pair >> x >> comma >> y) << point;
                EXPECT_EQ(comma, ',');
                EXPECT_GE(x, 0);
                EXPECT_LE(x, SvgChart::WIDTH);
                EXPECT_GE(y, 0);
                EXPECT_LE(y, SvgChart::HEIGHT);
                ++count;
            }
            EXPECT_EQ(count, values.size());
        }
        EXPECT_EQ(polylines, 1);
        EXPECT_GE(texts, 5) << "title, axis labels and tick labels";
        EXPECT_NE(svg.find("chart &lt;1&gt; &amp; &quot;2&quot;"), std::string::npos);
    }
}

TEST(BenchctlSvg, TicksAreRoundAndCoverTheRange) {
    struct Case {
        double low, high;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {0, 199, {0, 20, 40, 60, 80, 100, 120, 140, 160, 180}},
        {-0.3, 0.3, {-0.3, -0.2, -0.1, 0, 0.1, 0.2, 0.3}},
        {0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1.0}},
    };
    for (const Case& c : cases) {
        std::vector<double> ticks = SvgChart::ticks(c.low, c.high, c.expected.size() - 1);
        ASSERT_EQ(ticks.size(), c.expected.size()) << c.low << ".." << c.high;
        for (size_t i = 0; i < ticks.size(); ++i) {
            EXPECT_NEAR(ticks[i], c.expected[i], 1e-9);
        }
    }
    EXPECT_TRUE(SvgChart::ticks(1, 1, 5).empty());
}

TEST(BenchctlOptions, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
    };
    const std::vector<Case> cases = {
        {{"monitor"}, true},
        {{"--port", "2016", "monitor", "device_rpm", "device_fan:"}, true},
        {{"monitor", "--cut", "120"}, true},
        {{"monitor", "--cut", "wide"}, false},
        {{"send", "device_rpm:1500", "device_active:1;"}, true},
        {{"chart", "2", "--svg", "/tmp/c.svg"}, true},
        {{"--host=::1", "chart", "6", "--svg=/tmp/c.svg", "--timeout", "5"}, true},
        {{}, false},
        {{"dance"}, false},
        {{"send"}, false},
        {{"send", "device_rpm"}, false},
        {{"chart", "7", "--svg", "x"}, false},
        {{"chart", "0", "--svg", "x"}, false},
        {{"chart", "12", "--svg", "x"}, false},
        {{"chart", "2"}, false},
        {{"--port", "0", "monitor"}, false},
        {{"--port", "70000", "monitor"}, false},
        {{"--port"}, false},
        {{"--colour", "red", "monitor"}, false},
        {{"web"}, true},
        {{"web", "--listen", "0.0.0.0:8015", "--monitor", "10.0.0.2:2016", "--max-viewers", "5"},
         true},
        {{"web", "--listen=[::1]:0"}, true},
        {{"web", "--listen", "8015"}, false},
        {{"web", "--listen", "host:http"}, false},
        {{"web", "--monitor", "bench:0"}, false},
        {{"web", "--max-viewers", "0"}, false},
        {{"web", "--max-viewers", "many"}, false},
        {{"web", "page"}, false},
        {{"--control", "web"}, false},
        {{"status", "--svg", "x"}, false},
        {{"monitor", "--timeout"}, false},
    };
    for (const Case& c : cases) {
        CtlConfig config;
        std::string error;
        std::string line;
        for (const std::string& arg : c.args) {
            line += arg + " ";
        }
        EXPECT_EQ(CtlOptions::parse(c.args, config, error), c.ok) << line << error;
    }
    CtlConfig config;
    std::string error;
    ASSERT_TRUE(
        CtlOptions::parse({"--port", "2016", "chart", "3", "--svg", "out.svg"}, config, error));
    EXPECT_EQ(config.port, 2016);
    EXPECT_EQ(config.chart, 3);
    EXPECT_EQ(config.svgPath, "out.svg");

    ASSERT_TRUE(CtlOptions::parse(
        {"web", "--listen", "0.0.0.0:9000", "--monitor", "bench-pc:2017", "--max-viewers", "3"},
        config, error))
        << error;
    EXPECT_EQ(config.listenHost, "0.0.0.0");
    EXPECT_EQ(config.listenPort, 9000);
    EXPECT_EQ(config.host, "bench-pc");
    EXPECT_EQ(config.port, 2017);
    EXPECT_EQ(config.maxViewers, 3u);
    ASSERT_TRUE(CtlOptions::parse({"--host", "10.1.1.1", "web"}, config, error)) << error;
    EXPECT_EQ(config.listenHost + ":" + std::to_string(config.listenPort), "127.0.0.1:8015");
    EXPECT_EQ(config.host + ":" + std::to_string(config.port), "10.1.1.1:2016");
    EXPECT_EQ(config.maxViewers, 32u);
    // Help wins wherever it stands, even beside a command line that would not parse.
    ASSERT_TRUE(CtlOptions::parse({"send", "--help"}, config, error));
    EXPECT_TRUE(config.help);
}

TEST(BenchctlOptions, PortsPerCommand) {
    struct Case {
        std::vector<std::string> args;
        uint16_t port;
        double timeout;
    };
    const std::vector<Case> cases = {
        {{"monitor"}, 2016, 30},
        {{"status"}, 2016, 5},
        {{"top"}, 2016, 30},
        {{"--control", "monitor"}, 2015, 30},
        {{"status", "--control", "--timeout", "2"}, 2015, 2},
        {{"--control", "top"}, 2015, 30},
        {{"send", "device_rpm:1"}, 2015, 30},
        {{"chart", "1", "--svg", "c.svg"}, 2015, 30},
        {{"--port", "4000", "monitor"}, 4000, 30},
        {{"--port=4000", "--control", "status"}, 4000, 5},
        {{"--port", "4000", "send", "device_rpm:1"}, 4000, 30},
        {{"web"}, 2016, 30},
        {{"top", "--port", "4001"}, 4001, 30},
    };
    for (const Case& c : cases) {
        CtlConfig config;
        std::string error;
        ASSERT_TRUE(CtlOptions::parse(c.args, config, error)) << c.args[0] << ": " << error;
        EXPECT_EQ(config.port, c.port) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(config.timeout, c.timeout) << c.args[0] << " " << c.args.back();
    }
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"status", "now"}, {"top", "device_rpm"}}) {
        CtlConfig config;
        std::string error;
        EXPECT_FALSE(CtlOptions::parse(bad, config, error)) << bad[0] << " " << bad[1];
    }
    EXPECT_NE(CtlOptions::usage().find("--control"), std::string::npos);
    EXPECT_NE(CtlOptions::usage().find("web [--listen ADDR:PORT]"), std::string::npos);
}

namespace {

const std::vector<std::string> STATUS_BLOCK = {
    "status_version:0.1.0",
    "status_uptime:3723",
    "status_client:127.0.0.1:50312",
    "status_observers:2",
    "status_stand_setpoint:1500",
    "status_refused:control 4,monitor 0",
    "status_port:ttyUSB0,62,on,frames 120,crc failures 3,garbage bytes 0,acks sent 120,"
    "commands sent 4,retries 1,dropped 0",
    "status_port:ttyUSB1,unidentified,off,frames 0,crc failures 0,garbage bytes 17,acks sent 0,"
    "commands sent 9,retries 0,dropped 0,write failures 2",
    "status_end:1",
};

}  // namespace

TEST(BenchctlStatus, CollectsTheBlockAndPrintsAPortTable) {
    StatusBlock block;
    block.add("device_rpm:12");  // the stream goes on around the block
    for (std::size_t i = 0; i < STATUS_BLOCK.size(); ++i) {
        EXPECT_EQ(block.add(STATUS_BLOCK[i]), i + 1 == STATUS_BLOCK.size()) << STATUS_BLOCK[i];
    }
    ASSERT_EQ(block.ports().size(), 2u);
    EXPECT_TRUE(block.ports()[0].identified());
    EXPECT_FALSE(block.ports()[1].identified());
    EXPECT_EQ(block.ports()[0].counter("crc failures"), "3");
    EXPECT_EQ(block.ports()[1].counter("write failures"), "2");
    EXPECT_EQ(block.ports()[0].counter("write failures"), "");

    std::istringstream text(block.format());
    std::map<std::string, std::string> rows;  // first word(s) -> the rest, spaces squeezed
    std::string line;
    while (std::getline(text, line)) {
        std::string squeezed = std::regex_replace(line, std::regex("  +"), "|");
        std::size_t bar = squeezed.find('|');
        rows[squeezed.substr(0, bar)] = bar == std::string::npos ? "" : squeezed.substr(bar + 1);
    }
    struct Row {
        const char* name;
        const char* cells;
    };
    for (const Row& row : std::vector<Row>{
             {"benchd 0.1.0, up 1 h 02 min 03 s", ""},
             {"control client: 127.0.0.1:50312", ""},
             {"observers: 2", ""},
             {"refused connections: control 4, monitor 0", ""},
             {"port", "ttyUSB0|ttyUSB1"},
             {"board", "62 STAND62|unidentified"},
             {"low latency", "on|off"},
             {"frames", "120|0"},
             {"crc failures", "3|0"},
             {"garbage bytes", "0|17"},
             {"retries", "1|0"},
             {"write failures", "2"},  // only the port that has the figure
         }) {
        ASSERT_TRUE(rows.count(row.name)) << row.name << "\n" << block.format();
        EXPECT_EQ(rows[row.name], row.cells) << row.name;
    }
    // A new block replaces the old one; a bare port line does not crash.
    EXPECT_FALSE(block.add("status_version:0.2.0"));
    EXPECT_TRUE(block.ports().empty());
    block.add("status_port:");
    block.add("status_port:ttyS0,5");
    EXPECT_TRUE(block.add("status_end:1"));
    EXPECT_NE(block.format().find("ttyS0"), std::string::npos);
}

TEST(BenchctlBackoff, DoublesUpToTheLongestAndStartsAgainAfterReset) {
    Backoff backoff;
    std::vector<long> waits;
    for (int i = 0; i < 7; ++i) {
        waits.push_back(backoff.next().count());
    }
    EXPECT_EQ(waits, (std::vector<long>{200, 400, 800, 1600, 2000, 2000, 2000}));
    backoff.reset();
    EXPECT_EQ(backoff.next().count(), 200);
}

TEST(BenchctlTop, ModelFromMessages) {
    TopModel model;
    model.connected("127.0.0.1:2016");
    for (const char* message : {"device_connected:62",
                                "device_connected:34",
                                "device_rpm:480",
                                "device_rpm:790",
                                "device_temperature1:22",
                                "pressure_pressure:1200",
                                "flowmeter_flow:1,2,3,4,5,6,7,8,9,10",
                                "injector_chart:1.00,2.00,3.00",
                                "injector_chart3:4.00",
                                "injector_chart2:bad",
                                "monitor_dropped:5",
                                "monitor_dropped:7",
                                "monitor_error:unknown key",
                                "mystery_key:\x1b[2Jhello",
                                "device_disconnected:34",
                                "device_temperature2:\x07",
                                "device_active:1",
                                "device_fan:0",
                                "regulator1_active:7",
                                "regulator2_active:x",
                                "regulator1_current:1.50",
                                "injector_status:3",
                                "leakage_time_passed:8000",
                                "flowmeter_flow:1,2,3,4,5,6,7,8,9,10,11,12",
                                "flowmeter_calibrate:250.00,inf",
                                "delay_meter:310,388,350"}) {
        model.onMessage(message);
    }
    for (const std::string& message : STATUS_BLOCK) {
        model.onMessage(message);
    }
    EXPECT_EQ(model.dropped(), 12u);
    EXPECT_EQ(model.lastError(), "unknown key");
    EXPECT_EQ(model.identified(), (std::set<std::string>{"62"}));
    ASSERT_TRUE(model.status().complete());
    EXPECT_EQ(model.status().ports().size(), 2u);
    EXPECT_EQ(model.charts().size(), 2u) << "a bad chart is not kept";
    EXPECT_EQ(model.charts().at("injector_chart"), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(model.speedLine(), "stand speed 790 rpm, rising; set-point 1500 rpm");

    // Each key as the key table reads it: a unit only where it is known, words for switches,
    // lists labelled per element (missing ones "-", extra ones kept), nothing unprintable.
    struct Expected {
        const char* group;
        const char* key;
        const char* text;
        const char* unit;
    };
    const std::vector<Expected> expected = {
        {"stand: 62 STAND62", "device_rpm", "790", "rpm"},
        {"stand: 62 STAND62", "device_temperature1", "22", "degrees"},
        {"stand: 62 STAND62", "device_temperature2", "?", ""},
        {"stand: 62 STAND62", "device_active", "running", ""},
        {"stand: 62 STAND62", "device_fan", "off", ""},
        {"injector tester: no board identified", "pressure_pressure", "1200", ""},
        {"injector tester: no board identified", "regulator1_active", "on (7)", ""},
        {"injector tester: no board identified", "regulator2_active", "x", ""},
        {"injector tester: no board identified", "regulator1_current", "1.50", ""},
        {"injector tester: no board identified", "injector_status", "3", ""},
        {"injector tester: no board identified", "leakage_time_passed", "8000", ""},
        {"flowmeter: no board identified", "flowmeter_flow",
         "ch1 1 \u00b7 ch2 2 \u00b7 ch3 3 \u00b7 ch4 4 \u00b7 ch5 5 \u00b7 ch6 6 \u00b7 ch7 7 "
         "\u00b7 ch8 8 \u00b7 ch9 9 \u00b7 ch10 10 \u00b7 more 11,12",
         ""},
        {"flowmeter: no board identified", "flowmeter_calibrate",
         "ch1 250.00 \u00b7 ch2 inf \u00b7 ch3 - \u00b7 ch4 - \u00b7 ch5 - \u00b7 ch6 - \u00b7 "
         "ch7 - \u00b7 ch8 - \u00b7 ch9 - \u00b7 ch10 -",
         ""},
        {"delay meter: no board identified", "delay_meter", "min 310 \u00b7 max 388 \u00b7 avg 350",
         ""},
        {"other keys", "mystery_key", "?[2Jhello", ""},
    };
    std::vector<TopModel::Group> groups = model.groups();
    ASSERT_EQ(groups.size(), 5u);
    for (const Expected& e : expected) {
        bool found = false;
        for (const TopModel::Group& group : groups) {
            for (const TopModel::Value& value : group.values) {
                if (value.key == e.key) {
                    found = true;
                    EXPECT_EQ(group.title, e.group) << e.key;
                    EXPECT_EQ(value.text, e.text) << e.key;
                    EXPECT_EQ(value.unit, e.unit) << e.key;
                }
            }
        }
        EXPECT_TRUE(found) << e.key;
    }
    // Charts are the chart messages' keys; a page shows them summed up, or as sent when bad.
    for (int chart = 1; chart <= ChartMessage::CHARTS; ++chart) {
        const KeyInfo* info = findKey(ChartMessage::keyFor(chart));
        ASSERT_NE(info, nullptr) << chart;
        EXPECT_EQ(info->kind, ValueKind::Chart) << chart;
    }
    EXPECT_EQ(formatLine("injector_chart2", "1.00,5.00,-2.50"), "3 points, -2.50 to 5.00");
    EXPECT_EQ(formatLine("injector_chart2", "1.00,\x1b"), "1.00,?");
    EXPECT_EQ(formatLine("delay_meter", "0,400,333", " | "), "min 0 | max 400 | avg 333");
    // Whatever arrives, every key's cells are printable, bounded and no more than its elements.
    const std::string hostile[] = {"",
                                   std::string(5000, ','),
                                   std::string("1\0002,3", 5) /* a NUL inside */,
                                   "\x1b[2J,\xc2\xb7,\x7f",
                                   std::string(5000, '9'),
                                   "-99999999999999999999999,1e400,nan"};
    for (const KeyInfo& info : keyTable()) {
        for (const std::string& raw : hostile) {
            std::vector<Cell> cells = formatValue(info.key, raw);
            ASSERT_FALSE(cells.empty()) << info.key;
            EXPECT_LE(cells.size(), std::max<std::size_t>(1, info.elements.size() + 1)) << info.key;
            for (const Cell& cell : cells) {
                EXPECT_LE(cell.text.size(), MAX_CELL_TEXT) << info.key;
                for (char c : cell.label + cell.text + cell.unit) {
                    ASSERT_TRUE(c >= 0x20 && c < 0x7f) << info.key << ": " << cell.text;
                }
            }
        }
    }

    // Unknown keys are bounded; a reconnection forgets the boards until announced again.
    for (int i = 0; i < 100; ++i) {
        model.onMessage("k" + std::to_string(i) + ":" + std::string(5000, 'x'));
    }
    EXPECT_EQ(model.groups().back().values.size(), TopModel::MAX_OTHER_KEYS);
    EXPECT_EQ(model.groups().back().values.front().text.size(), TopModel::MAX_VALUE);
    model.disconnected();
    EXPECT_EQ(model.connection(), "connection lost, reconnecting...");
    model.connected("127.0.0.1:2016");
    EXPECT_EQ(model.connection(), "reconnected to 127.0.0.1:2016");
    EXPECT_TRUE(model.identified().empty());
}

TEST(BenchctlTop, PlotsAndScreenFitTheTerminal) {
    // Braille: a rising ramp fills the bottom-left and top-right dots.
    std::vector<std::string> ramp = BraillePlot::render({0, 1, 2, 3, 4, 5, 6, 7}, 4, 2, true);
    ASSERT_EQ(ramp.size(), 2u);
    EXPECT_EQ(ramp[0].size(), 4u * 3);
    EXPECT_EQ(ramp[0].substr(0, 3), "\u2800") << "top left empty";
    EXPECT_NE(ramp[1].substr(0, 3), "\u2800") << "bottom left drawn";
    EXPECT_NE(ramp[0].substr(9, 3), "\u2800") << "top right drawn";
    struct Case {
        std::vector<double> values;
        std::vector<std::string> lines;
    };
    for (const Case& c : std::vector<Case>{
             {{0, 5, 10, 10}, {"  **", " ** ", "**  "}},
             {{5, 5, 5}, {"    ", "****", "    "}},
             {{}, {"    ", "    ", "    "}},
         }) {
        EXPECT_EQ(BraillePlot::render(c.values, 4, 3, false), c.lines);
    }

    TopModel model;
    model.connected("127.0.0.1:2016");
    for (const std::string& message : STATUS_BLOCK) {
        model.onMessage(message);
    }
    for (const char* message :
         {"device_rpm:1500", "injector_chart:1.00,5.00,2.00", "device_fan:0",
          "delay_meter:310,388,350", "flowmeter_flow:250,250,250,250,250,250,250,250,250,7",
          "flowmeter_calibrate:250.00,250.00,250.00,250.00,250.00,250.00,250.00,250.00,250.00,"
          "-inf"}) {
        model.onMessage(message);
    }
    for (auto [width, height] : std::vector<std::pair<int, int>>{{120, 40}, {80, 24}, {20, 5}}) {
        std::vector<std::string> lines = TopScreen::compose(model, width, height, true);
        ASSERT_LE(lines.size(), static_cast<std::size_t>(height));
        std::string all;
        for (const std::string& line : lines) {
            EXPECT_EQ(TopScreen::fit(line, width), line) << width << "x" << height;
            all += line + "\n";
        }
        if (height >= 24) {
            for (const char* shown : {"ttyUSB0", "62 STAND62", "1500", "injector_chart: 3 points",
                                      "set-point 1500", "observers 2", "stand speed 1500 rpm",
                                      "off", "min 310 \u00b7 max 388 \u00b7 avg 350", "ch1", "ch10",
                                      "calibration x1000", "-inf"}) {
                EXPECT_NE(all.find(shown), std::string::npos) << shown << "\n" << all;
            }
            EXPECT_NE(all.find("\xe2\xa0"), std::string::npos) << "a braille plot\n" << all;
            // The ten flowmeter channels in columns, each under its name.
            std::smatch row;
            ASSERT_TRUE(std::regex_search(all, row, std::regex("\n( +ch1 .*)\n  flow( .*)\n")))
                << all;
            EXPECT_EQ(row[1].length(), row[2].length() + 6) << all;
        }
    }
    // Where the terminal cannot show UTF-8, nothing but ASCII reaches it.
    for (const std::string& line : TopScreen::compose(model, 120, 40, false)) {
        for (char c : line) {
            ASSERT_GE(c, 0x20) << line;
        }
    }
    std::string ascii;
    for (const std::string& line : TopScreen::compose(model, 120, 40, false)) {
        ascii += line + "\n";
    }
    EXPECT_NE(ascii.find("min 310 | max 388 | avg 350"), std::string::npos) << ascii;
}

namespace {

nlohmann::json dataOf(const WebModel::Event& event) {
    return nlohmann::json::parse(event.data);
}

std::vector<std::string> namesOf(const std::vector<WebModel::Event>& events) {
    std::vector<std::string> names;
    for (const WebModel::Event& event : events) {
        names.push_back(event.name);
    }
    return names;
}

}  // namespace

TEST(BenchctlWeb, ModelPacesValuesAndSendsTheRestAsItComes) {
    using namespace std::chrono_literals;
    WebModel model("bench-7", "127.0.0.1:2016");
    std::vector<WebModel::Event> events;
    const auto t0 = WebModel::Clock::now();
    model.disconnected("Connection refused", std::chrono::system_clock::now(), events);
    ASSERT_EQ(namesOf(events), (std::vector<std::string>{"link"}));
    EXPECT_FALSE(dataOf(events[0])["up"]);
    EXPECT_TRUE(std::regex_match(dataOf(events[0])["banner"].get<std::string>(),
                                 std::regex("benchd unreachable since [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << events[0].data;
    events.clear();
    model.connected(events);
    EXPECT_EQ(namesOf(events), (std::vector<std::string>{"link", "boards"}));
    EXPECT_TRUE(dataOf(events[0])["up"]);

    // The first value of a key goes at once; more within VALUE_EVERY wait for the tick, which
    // sends only the latest.
    events.clear();
    model.onMessage("device_connected:62", t0, events);
    model.onMessage("device_rpm:100", t0, events);
    model.onMessage("device_rpm:200", t0 + 30ms, events);
    model.onMessage("device_rpm:300", t0 + 60ms, events);
    model.onMessage("flowmeter_flow:1,2,3", t0 + 60ms, events);
    model.tick(t0 + 90ms, events);
    ASSERT_EQ(namesOf(events), (std::vector<std::string>{"boards", "value", "value"}));
    nlohmann::json rpm = dataOf(events[1]);
    EXPECT_EQ(rpm["key"], "device_rpm");
    EXPECT_EQ(rpm["board"], "stand");
    EXPECT_EQ(rpm["text"], "100 rpm");
    EXPECT_EQ(rpm["cells"][0]["text"], "100");
    EXPECT_EQ(rpm["cells"][0]["unit"], "rpm") << "the unit from the table top uses";
    EXPECT_EQ(dataOf(events[0])[0]["ids"], nlohmann::json::array({"62 STAND62"}));
    nlohmann::json flow = dataOf(events[2]);
    EXPECT_EQ(flow["board"], "flowmeter");
    EXPECT_GT(flow["cells"].size(), 1u) << "a list gets a cell per element";
    events.clear();
    model.tick(t0 + 100ms, events);
    ASSERT_EQ(namesOf(events), (std::vector<std::string>{"value"}));
    EXPECT_EQ(dataOf(events[0])["text"], "300 rpm");
    events.clear();
    model.tick(t0 + 300ms, events);
    EXPECT_TRUE(events.empty()) << "nothing new, nothing sent";

    // Charts and complete status blocks go as they come; a bad chart makes nothing.
    model.onMessage("injector_chart3:1,5,2", t0 + 300ms, events);
    model.onMessage("injector_chart2:1,x", t0 + 300ms, events);
    for (const std::string& message : STATUS_BLOCK) {
        model.onMessage(message, t0 + 400ms, events);
    }
    ASSERT_EQ(namesOf(events), (std::vector<std::string>{"chart", "status"}));
    nlohmann::json chart = dataOf(events[0]);
    EXPECT_EQ(chart["chart"], 3);
    EXPECT_EQ(chart["points"], nlohmann::json::array({1, 5, 2}));
    nlohmann::json status = dataOf(events[1]);
    EXPECT_EQ(status["bench"], "bench-7");
    EXPECT_EQ(status["benchd"]["version"], "0.1.0");
    EXPECT_EQ(status["benchd"]["client"], "127.0.0.1:50312");
    EXPECT_EQ(status["benchd"]["setpoint"], "1500");
    ASSERT_EQ(status["ports"].size(), 2u);
    EXPECT_EQ(status["ports"][0]["board"], "62 STAND62");
    EXPECT_EQ(status["ports"][0]["counters"]["crc failures"], "3");
    EXPECT_EQ(status["ports"][0]["lastHeardMs"], 340) << "the stand's last value came at 60 ms";
    EXPECT_FALSE(status["ports"][1].contains("lastHeardMs"));
    EXPECT_EQ(status["speed"]["speed"], "300");

    // The whole picture holds the same, grouped by board in the table's order.
    nlohmann::json values = model.values(true);
    EXPECT_EQ(values["boards"][0]["board"], "stand");
    EXPECT_EQ(values["boards"][0]["values"][0]["key"], "device_rpm");
    EXPECT_EQ(values["charts"].size(), 1u);
    nlohmann::json state = dataOf(model.snapshot(t0 + 400ms));
    EXPECT_TRUE(state["link"]["up"]);
    EXPECT_EQ(state["values"]["boards"].size(), 5u);

    // Whatever bytes the daemon sends, the JSON stays valid and one line.
    events.clear();
    model.onMessage(std::string("status_version:\xff\xfe\n1"), t0, events);
    model.onMessage("status_end:1", t0, events);
    model.onMessage("weird\x01key:\"<script>", t0 + 1s, events);
    for (const WebModel::Event& event : events) {
        EXPECT_EQ(event.data.find('\n'), std::string::npos);
        EXPECT_NO_THROW(nlohmann::json::parse(event.data)) << event.data;
        EXPECT_EQ(event.sse(), "event: " + event.name + "\ndata: " + event.data + "\n\n");
    }
    EXPECT_EQ(namesOf(events), (std::vector<std::string>{"status", "value"}));

    // Losing the daemon keeps the time it was first missed through the failed attempts.
    events.clear();
    model.disconnected("closed", std::chrono::system_clock::now() - 1h, events);
    model.disconnected("refused", std::chrono::system_clock::now(), events);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(dataOf(events[0])["banner"], dataOf(events[1])["banner"]);
    EXPECT_EQ(dataOf(events[1])["reason"], "refused");
}

TEST(BenchctlWeb, ChartsAreThinnedKeepingTheirPeaks) {
    std::vector<double> chart(65535);
    for (std::size_t i = 0; i < chart.size(); ++i) {
        chart[i] = std::sin(i / 900.0) * 100;
    }
    chart[40000] = 555;
    chart[40001] = -555;
    std::vector<double> thin = WebModel::decimate(chart, WebModel::CHART_POINTS);
    EXPECT_LE(thin.size(), WebModel::CHART_POINTS);
    EXPECT_GE(thin.size(), WebModel::CHART_POINTS - 1);
    EXPECT_EQ(*std::max_element(thin.begin(), thin.end()), 555);
    EXPECT_EQ(*std::min_element(thin.begin(), thin.end()), -555);
    std::vector<double> few = {3, 1, 2};
    EXPECT_EQ(WebModel::decimate(few, WebModel::CHART_POINTS), few);
}

TEST(BenchctlWeb, ViewerQueueIsBoundedAndCountsWhatASlowViewerLost) {
    using namespace std::chrono_literals;
    ViewerQueue queue(1000);
    std::string out;
    unsigned long lost = 99;
    const auto soon = ViewerQueue::Clock::now() + 10ms;
    // A new viewer first needs the whole picture; what comes before it is in the picture.
    queue.push("early");
    EXPECT_EQ(queue.take(out, lost, soon), ViewerQueue::Take::Fresh);
    EXPECT_EQ(lost, 0u);
    queue.refreshed();
    EXPECT_EQ(queue.take(out, lost, ViewerQueue::Clock::now() + 10ms), ViewerQueue::Take::Idle);
    queue.push("a");
    queue.push("b");
    ASSERT_EQ(queue.take(out, lost, ViewerQueue::Clock::now() + 10ms), ViewerQueue::Take::Events);
    EXPECT_EQ(out, "ab");

    // A viewer that does not read: the pushes never wait, the queue stays within its bound,
    // and every event it misses is counted.
    for (int i = 0; i < 100000; ++i) {
        queue.push(std::string(100, 'x'));
        ASSERT_LE(queue.bytes(), 1000u);
    }
    EXPECT_EQ(queue.lost(), 100000u);
    ASSERT_EQ(queue.take(out, lost, ViewerQueue::Clock::now()), ViewerQueue::Take::Fresh);
    EXPECT_EQ(lost, 100000u);
    queue.refreshed();
    queue.push("c");
    ASSERT_EQ(queue.take(out, lost, ViewerQueue::Clock::now()), ViewerQueue::Take::Events);
    EXPECT_EQ(out, "c");

    // Closing wakes a waiting worker at once.
    std::thread closer([&queue] { queue.close(); });
    EXPECT_EQ(queue.take(out, lost, ViewerQueue::Clock::now() + 60s), ViewerQueue::Take::Closed);
    closer.join();
}
