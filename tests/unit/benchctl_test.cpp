// benchctl: cutting the daemon's stream into messages, the monitor's filter and lines, chart
// messages, the SVG plot (parsed back as XML), and the command line.
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "chartmessage.h"
#include "ctloptions.h"
#include "messagestream.h"
#include "monitorfilter.h"
#include "svgchart.h"

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
}
