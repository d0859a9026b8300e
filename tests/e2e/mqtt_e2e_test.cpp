// Fleet telemetry through the real daemon, simulated boards and a real MQTT broker: every
// client message on its telemetry topic, the boards' and the status's retained messages,
// "online" and its will, a broker that goes away and comes back, and a broker that wants a
// password.
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "broker.h"
#include "feedclient.h"
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

    auto daemon = startDaemon({"--dev-dir", dir.path(), "--mqtt", broker.url() + "/lab", "--bench",
                               "bench7", "--mqtt-user", "bench", "--mqtt-password-file", good},
                              port);
    EXPECT_TRUE(watching.waitForLatest(BASE + "online", "1"));
    // A clean stop says "offline" itself.
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_TRUE(watching.waitForLatest(BASE + "online", "0"));
}
