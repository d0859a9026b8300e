#include "fleet/fleetconfig.h"

namespace {

const char* const URL_FORM = "mqtt://host[:port][/prefix] or mqtts://host[:port][/prefix]";

// Topic levels never hold the wildcards, and a published name never holds a NUL.
bool hasTopicWildcard(const std::string& text) {
    return text.find_first_of(std::string("+#\0", 3)) != std::string::npos;
}

}  // namespace

std::string checkTopicLevel(const std::string& name) {
    if (name.empty()) {
        return "an empty name";
    }
    if (hasTopicWildcard(name) || name.find('/') != std::string::npos) {
        return "'" + name + "' holds '/', '+' or '#', which MQTT topic levels cannot";
    }
    return "";
}

std::string parseMqttUrl(const std::string& url, FleetConfig& config) {
    const std::string bad = "'" + url + "' is not an MQTT URL (" + URL_FORM + ")";
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        config.tls = false;
        config.port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        config.tls = true;
        config.port = 8883;
        rest = url.substr(8);
    } else {
        return bad;
    }
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    if (authority.find('@') != std::string::npos) {
        return "'" + url + "': give the user with --mqtt-user and the password in a file " +
               "(--mqtt-password-file), not in the URL";
    }
    const std::size_t colon = authority.find(':');
    if (colon != std::string::npos) {
        const std::string port = authority.substr(colon + 1);
        authority.resize(colon);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stol(port) < 1 ||
            std::stol(port) > 65535) {
            return bad + ": '" + port + "' is not a port number (1 to 65535)";
        }
        config.port = static_cast<uint16_t>(std::stol(port));
    }
    if (authority.empty() ||
        authority.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789.-_") != std::string::npos) {
        return bad + (authority.empty() ? std::string(": no host name")
                                        : ": '" + authority + "' is not a host name");
    }
    if (hasTopicWildcard(prefix) || prefix.find("//") != std::string::npos) {
        return bad + ": the prefix '" + prefix + "' holds '+', '#' or an empty level";
    }
    config.host = authority;
    config.prefix = prefix;
    return "";
}
