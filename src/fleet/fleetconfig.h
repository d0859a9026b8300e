// Where and as what the bench publishes its state: the MQTT broker, the topic prefix, the
// credentials and the bench's name, as the options give them.
#pragma once

#include <cstdint>
#include <string>

struct FleetConfig {
    bool enabled = false;  // --mqtt was given
    std::string host;
    uint16_t port = 1883;
    bool tls = false;    // mqtts://
    std::string caFile;  // with tls: the certificate authority; empty: the system's
    std::string prefix;  // topic levels before the bench's name, without a trailing '/'
    std::string user;
    std::string password;  // the first line of --mqtt-password-file
    std::string bench;     // the bench's name, one topic level

    // "<prefix>/<bench>/" or "<bench>/".
    std::string base() const { return (prefix.empty() ? "" : prefix + "/") + bench + "/"; }
};

// Reads mqtt://host[:port][/prefix] or mqtts://host[:port][/prefix] into `config` (host, port,
// tls, prefix). Empty on success, otherwise what is wrong with the text.
std::string parseMqttUrl(const std::string& url, FleetConfig& config);

// Empty when `name` may stand as one topic level (the bench's name), otherwise why not.
std::string checkTopicLevel(const std::string& name);
