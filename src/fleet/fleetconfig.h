// Where and as what the bench publishes its state: the MQTT broker, the topic prefix, the
// credentials and the bench's name, as the options give them (FleetOptions) and as they come
// to once checked (FleetConfig).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The fleet options as given; empty: not given.
struct FleetOptions {
    std::string url;           // --mqtt
    std::string ca;            // --mqtt-ca
    std::string user;          // --mqtt-user
    std::string passwordFile;  // --mqtt-password-file
    std::string bench;         // --bench; empty: the host name
};

struct FleetConfig {
    bool enabled = false;  // --mqtt was given
    std::string host;
    uint16_t port = 1883;
    bool tls = false;    // mqtts://
    std::string caFile;  // with tls: the certificate authority; empty: the system's
    std::string prefix;  // topic levels before the bench's name, without a trailing '/'
    std::string user;
    std::string password;      // the first line of --mqtt-password-file
    std::string passwordFile;  // the file it came from; empty: none
    // Said once at start, the daemon running on: the password file is readable by every user.
    std::string warning;
    std::string bench;  // the bench's name, one topic level

    // "<prefix>/<bench>/" or "<bench>/".
    std::string base() const { return (prefix.empty() ? "" : prefix + "/") + bench + "/"; }
};

// Reads mqtt://host[:port][/prefix] or mqtts://host[:port][/prefix] into `config` (host, port,
// tls, prefix). Empty on success, otherwise what is wrong with the text.
std::string parseMqttUrl(const std::string& url, FleetConfig& config);

// The longest bench name: a topic level that dashboards show and brokers limit.
constexpr std::size_t BENCH_NAME_MAX = 128;

// Empty when `name` may stand as one topic level (the bench's name, at most BENCH_NAME_MAX
// characters), otherwise why not.
std::string checkTopicLevel(const std::string& name);

// Reads the password (the first line of `path`) into config.password, and config.warning when
// every user may read the file. Empty on success, otherwise what is wrong with the file.
std::string readPasswordFile(const std::string& path, FleetConfig& config);

// The file --mqtt-password-file stands for when not given: the service manager's credential
// "mqtt-password" ($CREDENTIALS_DIRECTORY/mqtt-password) when it exists, otherwise empty.
std::string credentialPasswordFile();

// The fleet options checked together and resolved into `config`: the URL read, the password
// read from its file (or the service manager's credential), the host name as the bench's name
// when none is given. Empty on success, otherwise the message for the command line, naming
// the options. Without --mqtt every other fleet option is refused and `config` stays off.
std::string resolveFleet(const FleetOptions& given, FleetConfig& config);
