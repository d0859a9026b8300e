#include "fleet/fleetconfig.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// A password is one line; what follows it is never read.
constexpr std::size_t PASSWORD_FILE_READ = 4096;

const char* const URL_FORM = "mqtt://host[:port][/prefix] or mqtts://host[:port][/prefix]";

// Topic levels never hold the wildcards, and a published name never holds a NUL.
bool hasTopicWildcard(const std::string& text) {
    return text.find_first_of(std::string("+#\0", 3)) != std::string::npos;
}

// A topic is UTF-8 without control characters: the library refuses to publish any other,
// the last will included, on every try.
bool topicText(const std::string& text) {
    return mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

}  // namespace

std::string checkTopicLevel(const std::string& name) {
    if (name.empty()) {
        return "an empty name";
    }
    if (name.size() > BENCH_NAME_MAX) {
        return "a name of " + std::to_string(name.size()) + " characters (at most " +
               std::to_string(BENCH_NAME_MAX) + ")";
    }
    if (hasTopicWildcard(name) || name.find('/') != std::string::npos) {
        return "'" + name + "' holds '/', '+' or '#', which MQTT topic levels cannot";
    }
    if (!topicText(name)) {
        return "'" + name + "' is not UTF-8 text without control characters, as MQTT topics are";
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
    if (hasTopicWildcard(prefix) || prefix.find("//") != std::string::npos ||
        (!prefix.empty() && prefix.front() == '/')) {
        return bad + ": the prefix '" + prefix + "' holds '+', '#' or an empty level";
    }
    if (!topicText(prefix)) {
        return bad + ": the prefix '" + prefix +
               "' is not UTF-8 text without control characters, as MQTT topics are";
    }
    config.host = authority;
    config.prefix = prefix;
    return "";
}

std::string readPasswordFile(const std::string& path, FleetConfig& config) {
    // Non-blocking: a FIFO without a writer reads as empty instead of holding up the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return "cannot read " + path + ": " + std::strerror(errno);
    }
    struct stat status {};
    std::string text;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_IROTH) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        config.warning = "MQTT: the password file " + path + " is readable by every user (mode " +
                         mode + "); chmod o-r " + path;
    }
    char buffer[512];
    while (text.size() < PASSWORD_FILE_READ && text.find('\n') == std::string::npos) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno != EAGAIN) {
            const int error = errno;
            ::close(fd);
            return "cannot read " + path + ": " + std::strerror(error);
        }
        if (got <= 0) {
            break;  // the end, or a pipe with nothing in it yet
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty() || line.find('\0') != std::string::npos || line.size() >= PASSWORD_FILE_READ) {
        return path + " holds no password on its first line";
    }
    config.password = line;
    config.passwordFile = path;
    return "";
}

std::string credentialPasswordFile() {
    const char* directory = std::getenv("CREDENTIALS_DIRECTORY");
    if (directory == nullptr || directory[0] == '\0') {
        return "";
    }
    const std::string path = std::string(directory) + "/mqtt-password";
    return ::access(path.c_str(), F_OK) == 0 ? path : "";
}

std::string resolveFleet(const FleetOptions& given, FleetConfig& config) {
    if (given.url.empty()) {
        for (const auto& [value, name] :
             {std::pair<const std::string&, const char*>{given.ca, "--mqtt-ca"},
              {given.user, "--mqtt-user"},
              {given.passwordFile, "--mqtt-password-file"},
              {given.bench, "--bench"}}) {
            if (!value.empty()) {
                return std::string(name) + " needs --mqtt";
            }
        }
        return "";
    }
    std::string error = parseMqttUrl(given.url, config);
    if (!error.empty()) {
        return "--mqtt: " + error;
    }
    if (!given.ca.empty() && !config.tls) {
        return "--mqtt-ca needs an mqtts:// URL";
    }
    if (!given.ca.empty() && ::access(given.ca.c_str(), R_OK) != 0) {
        return "--mqtt-ca: cannot read " + given.ca + ": " + std::strerror(errno);
    }
    config.caFile = given.ca;
    if (!given.passwordFile.empty() && given.user.empty()) {
        return "--mqtt-password-file needs --mqtt-user";
    }
    // Under the service manager the password may come as a credential (LoadCredential=).
    const std::string passwordFile = !given.passwordFile.empty() ? given.passwordFile
                                     : given.user.empty()        ? ""
                                                                 : credentialPasswordFile();
    if (!passwordFile.empty()) {
        error = readPasswordFile(passwordFile, config);
        if (!error.empty()) {
            return "--mqtt-password-file: " + error;
        }
    }
    config.user = given.user;
    config.bench = given.bench;
    if (config.bench.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
            return "the host name is unknown: name the bench with --bench";
        }
        config.bench = host;
        error = checkTopicLevel(config.bench);
        if (!error.empty()) {
            return "the host name " + error + ": name the bench with --bench";
        }
    }
    config.enabled = true;
    return "";
}
