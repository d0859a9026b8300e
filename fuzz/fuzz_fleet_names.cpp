// The MQTT URL and the bench's name, as --mqtt and --bench (or the file's mqtt and bench)
// give them: parseMqttUrl, checkTopicLevel and resolveFleet, which builds the topics.
//
// Input: byte 0 gives the URL's length, the URL follows (shorter where the input ends), the
// rest is the bench's name. What is accepted must make topics that the MQTT library takes:
// every topic the publisher sends to, the level a dashboard subscribes under, and the client
// id; the URL's host must be a host name and its prefix whole topic levels.
#include <mosquitto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fleet/fleetconfig.h"
#include "fuzzsupport.h"

namespace {

void checkTopic(const std::string& topic) {
    FUZZ_CHECK(
        mosquitto_validate_utf8(topic.data(), static_cast<int>(topic.size())) == MOSQ_ERR_SUCCESS &&
            mosquitto_pub_topic_check2(topic.data(), topic.size()) == MOSQ_ERR_SUCCESS,
        "the MQTT library refuses topic [%s]\n", topic.c_str());
}

void checkUrl(const std::string& url, const FleetConfig& config) {
    FUZZ_CHECK(!config.host.empty() &&
                   config.host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVW"
                                                 "XYZ0123456789.-_") == std::string::npos,
               "host [%s] taken from [%s]\n", config.host.c_str(), url.c_str());
    FUZZ_CHECK(config.port != 0, "port 0 taken from [%s]\n", url.c_str());
    FUZZ_CHECK(config.tls == (url.rfind("mqtts://", 0) == 0), "TLS %s for [%s]\n",
               config.tls ? "on" : "off", url.c_str());
    const std::string& prefix = config.prefix;
    FUZZ_CHECK(prefix.empty() || (prefix.front() != '/' && prefix.back() != '/' &&
                                  prefix.find("//") == std::string::npos),
               "prefix [%s] with an empty level taken from [%s]\n", prefix.c_str(), url.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    ::unsetenv("CREDENTIALS_DIRECTORY");
    mosquitto_lib_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    if (size == 0) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(input + 1);
    const std::size_t urlSize = std::min<std::size_t>(input[0], size - 1);
    FleetOptions given;
    given.url.assign(text, urlSize);
    given.bench.assign(text + urlSize, size - 1 - urlSize);

    FleetConfig parsed;
    const std::string urlError = parseMqttUrl(given.url, parsed);
    if (urlError.empty()) {
        checkUrl(given.url, parsed);
    }
    const std::string nameError = checkTopicLevel(given.bench);
    // The options check each value on its own first (checkMqttUrl, checkBenchName), as the
    // daemon does; resolveFleet then takes the two together.
    if (given.url.empty() || !urlError.empty() || (!given.bench.empty() && !nameError.empty())) {
        return 0;
    }
    FleetConfig config;
    const std::string error = resolveFleet(given, config);
    FUZZ_CHECK(error.empty() && config.enabled, "resolveFleet refuses URL [%s] and name [%s]: %s\n",
               given.url.c_str(), given.bench.c_str(), error.c_str());
    checkUrl(given.url, config);
    const std::string base = config.base();
    for (const char* topic : {"online", "status", "telemetry/device_rpm", "boards/ttyUSB0"}) {
        checkTopic(base + topic);
    }
    const std::string everything = base + "#";
    FUZZ_CHECK(mosquitto_sub_topic_check2(everything.data(), everything.size()) == MOSQ_ERR_SUCCESS,
               "the MQTT library refuses subscription [%s]\n", everything.c_str());
    const std::string id = "benchd-" + config.bench + "-1";
    FUZZ_CHECK(mosquitto_validate_utf8(id.data(), static_cast<int>(id.size())) == MOSQ_ERR_SUCCESS,
               "the MQTT library refuses client id [%s]\n", id.c_str());
    return 0;
}
