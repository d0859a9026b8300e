#include "daemon/options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "client/addressfilter.h"
#include "fleet/fleetconfig.h"
#include "service/console.h"
#include "service/filedescriptor.h"

namespace {

constexpr int BAD_OPTIONS = 2;

// The values are checked here rather than by CLI11's conversions, so that a bad one is told
// in the option's own words, and one that passes converts as it reads.

// A count between bounds, named in its error as "a port number (0 to 65535)".
struct Bounds {
    long min;
    long max;
    std::size_t digits;  // the longest text taken, leading zeros and all
    const char* what;    // "a port number"
    const char* unit;    // after the bounds: " bytes", or ""
};

constexpr Bounds PORT{0, 65535, 5, "a port number", ""};
constexpr Bounds SECONDS{0, 86400, 5, "a number of seconds", ""};  // up to a day
constexpr Bounds OBSERVERS{1, 256, 3, "a number of observers", ""};
constexpr Bounds BUFFER{4096, 64L << 20, 9, "a buffer size", " bytes"};
constexpr Bounds CAPTURE_SIZE{1, 65536, 5, "a file size", " megabytes"};
constexpr Bounds CAPTURE_FILES{1, 1000, 4, "a number of files", ""};

// CLI11 would read "010" as octal: only plain decimal within the bounds gets through,
// rewritten canonical.
CLI::Validator inRange(Bounds bounds) {
    return CLI::Validator(
        [bounds](std::string& text) {
            if (text.empty() || text.size() > bounds.digits ||
                text.find_first_not_of("0123456789") != std::string::npos ||
                std::stol(text) < bounds.min || std::stol(text) > bounds.max) {
                return "'" + text + "' is not " + bounds.what + " (" + std::to_string(bounds.min) +
                       " to " + std::to_string(bounds.max) + bounds.unit + ")";
            }
            text = std::to_string(std::stol(text));
            return std::string();
        },
        "");
}

std::string checkAddress(const std::string& text) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        return "'" + text + "' is not an IPv4 address";
    }
    return "";
}

// An empty one stands for none ("allow =" in the file): dropped once parsed.
std::string checkNetwork(const std::string& text) {
    return text.empty() ? "" : AddressFilter::check(text);
}

// Empty is off ("capture =" in the file).
std::string checkCaptureFile(const std::string& text) {
    if (!text.empty() && text.back() == '/') {
        return "'" + text + "' is not a file name";
    }
    return "";
}

std::string checkDirectory(const std::string& text) {
    return text.empty() ? "an empty directory name" : "";
}

// An empty glob stands for none ("ignore =" in the file): dropped once parsed.
std::string checkGlob(const std::string& text) {
    if (text.find('/') != std::string::npos) {
        return "'" + text + "' holds a '/': the globs match device names, such as ttyUSB0";
    }
    return "";
}

// Fleet telemetry (MQTT). An empty value stands for the option not given ("mqtt =" in the
// file).
std::string checkMqttUrl(const std::string& text) {
    FleetConfig scratch;
    return text.empty() ? "" : parseMqttUrl(text, scratch);
}

std::string checkBenchName(const std::string& text) {
    return text.empty() ? "" : checkTopicLevel(text);
}

// Every option, bound to `options`; the file named by --config goes to `config`. New options
// go here, with their check and a line of help.
void declare(CLI::App& app, Options& options, std::string& config,
             const std::string& defaultConfig) {
    app.description("Connects the boards of the test bench to one TCP client.");
    app.set_help_flag("--help", "Print this help and exit");
    app.set_version_flag("--version", std::string("benchd ") + BENCHD_VERSION,
                         "Print the version and exit");
    app.get_formatter()->column_width(24);

    app.add_option("--config", config,
                   "Read options from FILE (default " + defaultConfig + ", when it exists)")
        ->type_name("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->configurable(false);
    app.add_option("--port", options.port,
                   "TCP port to serve the client on (default 2015; 0: any free one, printed)")
        ->type_name("N")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(PORT));
    app.add_option("--bind", options.bindAddress,
                   "IPv4 address of this PC to listen on (default: all addresses)")
        ->type_name("ADDR")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(checkAddress);
    app.add_option("--allow", options.allow,
                   "Serve only control clients from these addresses or networks\n"
                   "(IPv4 or IPv6, a list; default: anyone)")
        ->type_name("ADDR[/PREFIX]")
        ->delimiter(',')
        ->check(checkNetwork);
    app.add_option("--dev-dir", options.devDir, "Directory scanned for serial ports (default /dev)")
        ->type_name("DIR")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(checkDirectory);
    app.add_option("--ports", options.ports,
                   "Take only the serial ports whose names match a glob\n"
                   "(default: ttyUSB<n> and ttyS0 to ttyS9)")
        ->type_name("GLOB")
        ->check(checkGlob);
    app.add_option("--ignore", options.ignore,
                   "Never open, lock or write to the ports whose names match a glob")
        ->type_name("GLOB")
        ->check(checkGlob);
    app.add_option("--failsafe", options.failsafe,
                   "Put the boards in their safe state when no control client is back\n"
                   "within SECONDS of losing it, and when benchd stops (default 0: off)")
        ->type_name("SECONDS")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(SECONDS));
    app.add_option("--monitor-port", options.monitor.port,
                   "TCP port for read-only observers (default 2016; 0: none)")
        ->type_name("N")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(PORT));
    app.add_option("--monitor-bind", options.monitor.bindAddress,
                   "IPv4 address the monitor port listens on (default 127.0.0.1)")
        ->type_name("ADDR")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(checkAddress);
    app.add_option("--monitor-allow", options.monitor.allow,
                   "Serve only observers from these addresses or networks\n"
                   "(IPv4 or IPv6, a list; default: anyone who reaches --monitor-bind)")
        ->type_name("ADDR[/PREFIX]")
        ->delimiter(',')
        ->check(checkNetwork);
    app.add_option("--monitor-max", options.monitor.maxObservers,
                   "Observers served at once on the monitor port (default 8)")
        ->type_name("N")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(OBSERVERS));
    app.add_option("--monitor-buffer", options.monitor.bufferBytes,
                   "Bytes each observer may have waiting before it loses messages\n"
                   "(default 1048576)")
        ->type_name("BYTES")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(BUFFER));

    app.add_option("--capture", options.capture.path,
                   "Record every port's frames and the client's messages to FILE (pcap)\n"
                   "(default: off)")
        ->type_name("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(checkCaptureFile);
    // Given in megabytes, kept in bytes.
    app.add_option_function<unsigned>(
           "--capture-size",
           [&options](unsigned megabytes) {
               options.capture.fileBytes = static_cast<std::uint64_t>(megabytes) << 20;
           },
           "Start the next capture file before one would pass MB megabytes\n"
           "(default 64)")
        ->type_name("MB")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(CAPTURE_SIZE));
    app.add_option("--capture-files", options.capture.files,
                   "Keep at most N capture files: FILE, FILE.1, ... (default 4)")
        ->type_name("N")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->transform(inRange(CAPTURE_FILES));
    // Fleet telemetry (MQTT): off unless --mqtt is given.
    app.add_option("--mqtt", options.mqtt.url,
                   "Publish the bench's state to an MQTT broker:\n"
                   "mqtt://host[:port][/prefix] or mqtts://... (default: none)")
        ->type_name("URL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(checkMqttUrl);
    app.add_option("--mqtt-ca", options.mqtt.ca,
                   "Certificate authority of an mqtts:// broker (default: the system's)")
        ->type_name("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--mqtt-user", options.mqtt.user, "User name at the MQTT broker")
        ->type_name("NAME")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--mqtt-password-file", options.mqtt.passwordFile,
                   "File whose first line is the MQTT user's password (default, with\n"
                   "--mqtt-user: $CREDENTIALS_DIRECTORY/mqtt-password when it exists)")
        ->type_name("FILE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--bench", options.mqtt.bench,
                   "The bench's name in the MQTT topics (default: the host name)")
        ->type_name("NAME")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(checkBenchName);
}

ParsedOptions failure(std::string message) {
    ParsedOptions parsed;
    parsed.status = BAD_OPTIONS;
    parsed.text = "benchd: " + std::move(message) + "\n";
    return parsed;
}

// CLI11 says which option a message is about by starting it with the option's name.
std::string withoutOptionName(const std::string& message, const std::string& name) {
    const std::string prefix = name + ": ";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

// A command-line error in our words where CLI11's are obscure: a value missing after an
// option.
std::string commandLineError(const CLI::App& app, const CLI::Error& error) {
    const std::string message = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        for (const CLI::Option* option : app.get_options()) {
            const std::string name = option->get_name();
            if (message.compare(0, name.size() + 1, name + ":") == 0 && message.size() >= 7 &&
                message.compare(message.size() - 7, 7, "missing") == 0) {
                return "option " + name + " needs a value";
            }
        }
    }
    return message;
}

struct ConfigLine {
    int number;
    std::string text;
};

// Far beyond any real configuration file; a bound on what a wrong one (a log, a device) costs.
constexpr std::size_t MAX_CONFIG_BYTES = 1u << 20;

std::string notRegular(const std::string& path, mode_t mode) {
    return path + " is " + fileKind(mode) + ", not a regular file";
}

// The whole file, when it is a regular file of at most MAX_CONFIG_BYTES; false with the reason.
// A FIFO or a device named by mistake is refused without waiting on it or reading it.
bool readConfig(const std::string& path, std::string& text, std::string& error) {
    // Links are followed (/etc/benchd/benchd.conf may well be one). Looked at before it is
    // opened, so that no device is opened at all; the descriptor is checked again after.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        // "--config /dev/null", the usual way to say no file, stays an empty one.
        struct stat null {};
        if (S_ISCHR(info.st_mode) && ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
            info.st_rdev == null.st_rdev) {
            text.clear();
            return true;
        }
        error = notRegular(path, info.st_mode);
        return false;
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = notRegular(path, info.st_mode);
        return false;
    }
    // Room for what the file says it holds, and one byte to see that it ends there; a file
    // that grows meanwhile (or a /proc file, of size 0) is read on up to one byte past the
    // bound, which tells a file too large.
    text.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(
                    static_cast<std::uintmax_t>(info.st_size), MAX_CONFIG_BYTES)) +
                1);
    std::size_t size = 0;
    bool tooLarge = false;
    while (!tooLarge) {
        if (size == text.size()) {
            text.resize(MAX_CONFIG_BYTES + 1);
        }
        const ssize_t got = ::read(fd.get(), &text[size], text.size() - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
        tooLarge = size > MAX_CONFIG_BYTES;
    }
    if (tooLarge) {
        error = path + " is larger than 1 MiB: not a configuration file";
        return false;
    }
    text.resize(size);
    return true;
}

// The lines of the file that say something (neither blank nor a comment), numbered.
bool readLines(const std::string& path, std::vector<ConfigLine>& lines, std::string& error) {
    std::string all;
    if (!readConfig(path, all, error)) {
        return false;
    }
    std::istringstream file(all);
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        const std::size_t first = text.find_first_not_of(" \t\r");
        if (first != std::string::npos && text[first] != '#') {
            lines.push_back({number, text});
        }
    }
    return true;
}

// Whether the value of a 'key = value' line opens a quote that it never closes, read as
// CLI11's reader reads it: a quote opens the value or an item of a list, and with
// `comments` the value ends at the first '#', quotes or not.
bool openQuote(const std::string& line, bool comments) {
    std::string value = line.substr(line.find('=') + 1);
    if (comments) {
        value = value.substr(0, value.find('#'));
    }
    bool itemStart = true;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (itemStart && (c == '"' || c == '\'' || c == '`')) {
            std::size_t end = value.find(c, i + 1);
            while (end != std::string::npos && value[end - 1] == '\\') {
                end = value.find(c, end + 1);
            }
            if (end == std::string::npos) {
                return true;
            }
            i = end;
            itemStart = false;
            continue;
        }
        itemStart = c == ' ' || c == '\t' || c == ',' || c == '[';
    }
    return false;
}

// Applies the file to `options`, one line at a time through CLI11's own configuration reader,
// so that whatever goes wrong is told with the line it is on. Empty on success.
std::string applyFile(const std::string& path, Options& options, const std::string& defaultConfig) {
    std::vector<ConfigLine> lines;
    std::string error;
    if (!readLines(path, lines, error)) {
        return error;
    }
    CLI::App app;
    std::string unused;
    declare(app, options, unused, defaultConfig);
    std::map<std::string, int> seen;  // key -> its line
    for (const ConfigLine& line : lines) {
        const std::string where = path + ":" + std::to_string(line.number) + ": ";
        // The key first, read as CLI11 reads it: unknown keys and repeats are ours to catch.
        std::istringstream probe(line.text);
        std::vector<CLI::ConfigItem> items = CLI::ConfigBase().from_config(probe);
        if (line.text.find('=') == std::string::npos || items.size() != 1 ||
            !items[0].parents.empty()) {
            return where + "expected 'key = value'";
        }
        const std::string& key = items[0].name;
        const CLI::Option* option = app.get_option_no_throw("--" + key);
        if (option == nullptr || !option->get_configurable()) {
            return where + "unknown option '" + key + "'";
        }
        if (openQuote(line.text, true)) {
            // Read on, it would be a value with a stray quote in it, matching nothing.
            return where + "unterminated quote in the value of '" + key + "'" +
                   (openQuote(line.text, false) ? "" : " (a '#' starts a comment, even in quotes)");
        }
        auto [first, fresh] = seen.emplace(key, line.number);
        if (!fresh) {
            return where + "'" + key + "' is already set on line " + std::to_string(first->second);
        }
        // Nor none: CLI11 hands an option of one value an empty list ("port = []") unchecked,
        // and reads past it.
        if (option->get_items_expected_max() == 1 && items[0].inputs.size() != 1) {
            return where + "'" + key + "' takes one value";
        }
        try {
            std::istringstream one(line.text);
            app.parse_from_stream(one);
        } catch (const CLI::Error& failed) {
            return where + "bad value for '" + key +
                   "': " + withoutOptionName(failed.what(), option->get_name());
        }
    }
    return "";
}

}  // namespace

ParsedOptions parseOptions(int argc, const char* const argv[], const std::string& defaultConfig) {
    // First the command line alone, so that its mistakes, --help and --version do not depend
    // on the file; then the file; then the command line again over what the file set.
    std::string config;
    {
        Options scratch;
        CLI::App app("", "benchd");
        declare(app, scratch, config, defaultConfig);
        try {
            app.parse(argc, argv);
        } catch (const CLI::CallForHelp&) {
            ParsedOptions parsed;
            parsed.text = app.help();
            return parsed;
        } catch (const CLI::CallForVersion& version) {
            ParsedOptions parsed;
            parsed.text = std::string(version.what()) + "\n";
            return parsed;
        } catch (const CLI::Error& error) {
            ParsedOptions parsed = failure(commandLineError(app, error));
            parsed.text += app.help();
            return parsed;
        }
    }

    ParsedOptions parsed;
    if (config.empty() && ::access(defaultConfig.c_str(), F_OK) == 0) {
        config = defaultConfig;
    }
    if (!config.empty()) {
        std::string error = applyFile(config, parsed.options, defaultConfig);
        if (!error.empty()) {
            // The file's bytes, echoed, cannot break or forge the line.
            return failure(console::escaped(error));
        }
        parsed.options.configFile = config;
    }

    CLI::App app("", "benchd");
    std::string unused;
    declare(app, parsed.options, unused, defaultConfig);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Error& error) {
        return failure(commandLineError(app, error));  // read once already: not expected
    }
    for (std::vector<std::string>* list : {&parsed.options.ports, &parsed.options.ignore,
                                           &parsed.options.allow, &parsed.options.monitor.allow}) {
        list->erase(std::remove(list->begin(), list->end(), std::string()), list->end());
    }
    const std::string fleetError = resolveFleet(parsed.options.mqtt, parsed.options.fleet);
    if (!fleetError.empty()) {
        // It may name a file that the configuration file gave.
        return failure(console::escaped(fleetError));
    }
    parsed.run = true;
    return parsed;
}
