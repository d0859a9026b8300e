// The daemon's options: command lines and configuration files with the settings or the error
// they come to, the default file of the package, and the port filter the globs make.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/options.h"
#include "link/serialwatcher.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

using Strings = std::vector<std::string>;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

ParsedOptions parse(Strings args, const std::string& defaultConfig) {
    args.insert(args.begin(), "benchd");
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    return parseOptions(static_cast<int>(argv.size()), argv.data(), defaultConfig);
}

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

TEST(Options, CommandLinesAndFilesComeToSettingsOrErrors) {
    TempDir dir;
    // "%F" in an expected text stands for the configuration file's path.
    const std::string file = dir.path() + "/benchd.conf";
    // Files that a row's text cannot make: not regular ones, a NUL byte, the size bound.
    const std::string fifo = dir.path() + "/fifo.conf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string directory = dir.path() + "/dir.conf";
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    const std::string linked = dir.path() + "/linked.conf";
    writeFile(dir.path() + "/target.conf", "port = 2018\n");
    ASSERT_EQ(::symlink("target.conf", linked.c_str()), 0);
    const std::string nul = dir.path() + "/nul.conf";
    writeFile(nul, std::string("port = 1\n\0po\x1Brt = 2\n", 20));
    // Comment lines of 64 bytes, exactly 1 MiB of them; then the same and one byte more.
    std::string comments;
    for (int line = 0; line < (1 << 20) / 64; ++line) {
        comments += "# " + std::string(61, 'x') + "\n";
    }
    const std::string largest = dir.path() + "/largest.conf";
    writeFile(largest, comments);
    const std::string tooLarge = dir.path() + "/large.conf";
    writeFile(tooLarge, comments + "\n");
    struct Expected {
        uint16_t port = 2015;
        std::string bind;
        std::string devDir = "/dev";
        Strings ports, ignore;
        unsigned failsafe = 0;
        uint16_t monitorPort = 2016;
        std::string monitorBind = "127.0.0.1";
        unsigned monitorMax = 8;
        std::size_t monitorBuffer = 1u << 20;
        Strings allow = {};
        Strings monitorAllow = {};
    };
    struct Case {
        const char* what;
        Strings args;
        const char* fileText;  // null: no default file
        int status;            // -1: the daemon runs
        std::string text;      // status >= 0: the start of the text
        Expected options;
    };
    const Case cases[] = {
        {"defaults", {}, nullptr, -1, "", {}},
        {"every option",
         {"--port", "2016", "--bind", "127.0.0.1", "--dev-dir", "/tmp/d", "--ports", "ttyACM*",
          "ttyUSB*", "--ignore", "ttyS*"},
         nullptr,
         -1,
         "",
         {2016, "127.0.0.1", "/tmp/d", {"ttyACM*", "ttyUSB*"}, {"ttyS*"}}},
        {"port 0", {"--port", "0"}, nullptr, -1, "", {0, "", "/dev", {}, {}}},
        {"monitor options",
         {"--monitor-port", "0", "--monitor-bind", "0.0.0.0", "--monitor-max", "2",
          "--monitor-buffer", "4096"},
         nullptr,
         -1,
         "",
         {2015, "", "/dev", {}, {}, 0, 0, "0.0.0.0", 2, 4096}},
        {"monitor options from the file",
         {"--monitor-max", "3"},
         "monitor-port = 2020\nmonitor-max = 16\nmonitor-buffer = 65536\n",
         -1,
         "",
         {2015, "", "/dev", {}, {}, 0, 2020, "127.0.0.1", 3, 65536}},
        {"no observers",
         {"--monitor-max", "0"},
         nullptr,
         2,
         "benchd: --monitor-max: '0' is not a number of observers (1 to 256)\n",
         {}},
        {"monitor buffer too small",
         {"--monitor-buffer", "1000"},
         nullptr,
         2,
         "benchd: --monitor-buffer: '1000' is not a buffer size (4096 to 67108864 bytes)\n",
         {}},
        {"bad monitor address",
         {"--monitor-bind", "localhost"},
         nullptr,
         2,
         "benchd: --monitor-bind: 'localhost'",
         {}},
        {"capture file size 0",
         {"--capture", "/tmp/c.pcap", "--capture-size", "0"},
         nullptr,
         2,
         "benchd: --capture-size: '0' is not a file size (1 to 65536 megabytes)\n",
         {}},
        {"capture ring of no files",
         {},
         "capture = /tmp/c.pcap\ncapture-files = 0\n",
         2,
         "benchd: %F:2: bad value for 'capture-files': '0' is not a number of files (1 to 1000)\n",
         {}},
        {"capture to a directory",
         {"--capture", "/tmp/"},
         nullptr,
         2,
         "benchd: --capture: '/tmp/' is not a file name\n",
         {}},
        {"allowed networks: repeated, listed, from the file, the command line wins",
         {"--allow", "10.0.0.0/8,192.168.1.5", "--allow", "::1", "--monitor-allow", "127.0.0.1"},
         "allow = 172.16.0.0/12\nmonitor-allow = 127.0.0.0/8 ::1\n",
         -1,
         "",
         {2015,
          "",
          "/dev",
          {},
          {},
          0,
          2016,
          "127.0.0.1",
          8,
          1u << 20,
          {"10.0.0.0/8", "192.168.1.5", "::1"},
          {"127.0.0.1"}}},
        {"allowed networks from the file; empty is anyone",
         {},
         "allow = 10.0.0.0/8 2001:db8::/32\nmonitor-allow =\n",
         -1,
         "",
         {2015,
          "",
          "/dev",
          {},
          {},
          0,
          2016,
          "127.0.0.1",
          8,
          1u << 20,
          {"10.0.0.0/8", "2001:db8::/32"},
          {}}},
        {"allowed network with a long prefix",
         {"--allow", "10.0.0.0/8,10.0.0.0/33"},
         nullptr,
         2,
         "benchd: --allow: '10.0.0.0/33': the prefix is longer than 32 bits\n",
         {}},
        {"allowed observer that is a host name",
         {},
         "monitor-allow = 127.0.0.1 localhost\n",
         2,
         "benchd: %F:1: bad value for 'monitor-allow': 'localhost' is not an address or network "
         "(ADDR or ADDR/PREFIX)\n",
         {}},
        {"not octal", {"--port", "010"}, nullptr, -1, "", {10, "", "/dev", {}, {}}},
        {"a repeated option: the last",
         {"--port", "1", "--port", "2"},
         nullptr,
         -1,
         "",
         {2, "", "/dev", {}, {}}},
        {"the file",
         {},
         "# a comment\n\nport = 2016   # the lab's port\n  dev-dir = \"/srv/my dev\"\n"
         "ports = ttyUSB* ttyACM*\nignore =\n",
         -1,
         "",
         {2016, "", "/srv/my dev", {"ttyUSB*", "ttyACM*"}, {}}},
        {"a list with commas",
         {},
         "ports = \"ttyUSB*\", \"ttyACM*\"\n",
         -1,
         "",
         {2015, "", "/dev", {"ttyUSB*", "ttyACM*"}, {}}},
        {"command line over file",
         {"--port", "2017", "--ports", "ttyS1"},
         "port = 2016\nbind = 127.0.0.1\nports = ttyUSB* ttyACM*\n",
         -1,
         "",
         {2017, "127.0.0.1", "/dev", {"ttyS1"}, {}}},
        {"fail-safe", {"--failsafe", "5"}, nullptr, -1, "", {2015, "", "/dev", {}, {}, 5}},
        {"fail-safe from the file, off on the command line",
         {"--failsafe", "0"},
         "failsafe = 10\n",
         -1,
         "",
         {}},
        {"fail-safe from the file", {}, "failsafe = 010\n", -1, "", {2015, "", "/dev", {}, {}, 10}},
        {"bad fail-safe",
         {"--failsafe", "-1"},
         nullptr,
         2,
         "benchd: --failsafe: '-1' is not a number of seconds (0 to 86400)\n",
         {}},
        {"fail-safe beyond a day", {"--failsafe", "86401"}, nullptr, 2, "benchd: --failsafe:", {}},
        {"help", {"--help"}, nullptr, 0, "Connects the boards", {}},
        {"help before a bad file", {"--help"}, "prot = 1\n", 0, "Connects the boards", {}},
        {"version", {"--version"}, nullptr, 0, "benchd " BENCHD_VERSION "\n", {}},
        {"missing value", {"--port"}, nullptr, 2, "benchd: option --port needs a value\n", {}},
        {"missing value, empty",
         {"--port="},
         nullptr,
         2,
         "benchd: option --port needs a value\n",
         {}},
        {"missing globs", {"--ignore"}, nullptr, 2, "benchd: option --ignore needs a value\n", {}},
        {"missing file name",
         {"--config"},
         nullptr,
         2,
         "benchd: option --config needs a value\n",
         {}},
        {"bad port",
         {"--port", "70000"},
         nullptr,
         2,
         "benchd: --port: '70000' is not a port number (0 to 65535)\n",
         {}},
        {"bad address", {"--bind", "localhost"}, nullptr, 2, "benchd: --bind: 'localhost'", {}},
        {"a path for a glob", {"--ignore", "/dev/ttyS0"}, nullptr, 2, "benchd: --ignore:", {}},
        {"unknown option", {"--prot", "1"}, nullptr, 2, "benchd: The following argument", {}},
        {"stray argument", {"2016"}, nullptr, 2, "benchd: The following argument", {}},
        {"explicit file missing",
         {"--config", dir.path() + "/none.conf"},
         nullptr,
         2,
         "benchd: cannot read " + dir.path() + "/none.conf: No such file or directory\n",
         {}},
        {"unknown key",
         {},
         "# benchd\n\nport = 2016\n\n\n\nprot = 2017\n",
         2,
         "benchd: %F:7: unknown option 'prot'\n",
         {}},
        {"not an option in a file",
         {},
         "help = true\n",
         2,
         "benchd: %F:1: unknown option 'help'\n",
         {}},
        {"an option's name, longer",
         {},
         "port = 2016\nport-x = 1\n",
         2,
         "benchd: %F:2: unknown option 'port-x'\n",
         {}},
        {"bad value in the file",
         {},
         "dev-dir = /dev\nport = abc\n",
         2,
         "benchd: %F:2: bad value for 'port': 'abc' is not a port number (0 to 65535)\n",
         {}},
        {"bad value in the file, overridden",
         {"--port", "1"},
         "port = abc\n",
         2,
         "benchd: %F:1:",
         {}},
        {"two values for one", {}, "port = 1 2\n", 2, "benchd: %F:1: 'port' takes one value\n", {}},
        {"no value for one", {}, "mqtt = []\n", 2, "benchd: %F:1: 'mqtt' takes one value\n", {}},
        {"a key twice",
         {},
         "port = 1\n# again\nport = 2\n",
         2,
         "benchd: %F:3: 'port' is already set on line 1\n",
         {}},
        {"mqtt",
         {"--mqtt", "mqtt://broker.lan:1884/plant/a/", "--bench", "b1"},
         nullptr,
         -1,
         "",
         {}},
        {"mqtt from the file",
         {},
         "mqtt = mqtts://broker\nbench = b1\nmqtt-user = u\n",
         -1,
         "",
         {}},
        {"mqtt, not a URL",
         {"--mqtt", "http://x"},
         nullptr,
         2,
         "benchd: --mqtt: 'http://x' is not an MQTT URL",
         {}},
        {"mqtt, bad port",
         {"--mqtt", "mqtt://h:0"},
         nullptr,
         2,
         "benchd: --mqtt: 'mqtt://h:0' is not an MQTT URL (mqtt://host[:port][/prefix] or "
         "mqtts://host[:port][/prefix]): '0' is not a port number (1 to 65535)\n",
         {}},
        {"mqtt, no host",
         {"--mqtt", "mqtt:///lab"},
         nullptr,
         2,
         "benchd: --mqtt: 'mqtt:///lab'",
         {}},
        {"mqtt, a wildcard in the prefix",
         {"--mqtt", "mqtt://h/a/#"},
         nullptr,
         2,
         "benchd: --mqtt: 'mqtt://h/a/#'",
         {}},
        {"mqtt, a password in the URL",
         {"--mqtt", "mqtt://u:p@h"},
         nullptr,
         2,
         "benchd: --mqtt: 'mqtt://u:p@h': give the user with --mqtt-user",
         {}},
        {"mqtt user without a broker",
         {"--mqtt-user", "u"},
         nullptr,
         2,
         "benchd: --mqtt-user needs --mqtt\n",
         {}},
        {"mqtt CA from the file, its name escaped",
         {},
         "mqtt = mqtts://h\nmqtt-ca = /none\x1B\rX\n",
         2,
         "benchd: --mqtt-ca: cannot read /none\\x1B\\rX: No such file or directory\n",
         {}},
        {"mqtt CA without TLS",
         {"--mqtt", "mqtt://h", "--mqtt-ca", "/etc/hostname"},
         nullptr,
         2,
         "benchd: --mqtt-ca needs an mqtts:// URL\n",
         {}},
        {"mqtt password file missing",
         {"--mqtt", "mqtt://h", "--mqtt-user", "u", "--mqtt-password-file", dir.path() + "/none"},
         nullptr,
         2,
         "benchd: --mqtt-password-file: cannot read " + dir.path() +
             "/none: No such file or directory\n",
         {}},
        {"mqtt password file empty",
         {"--mqtt", "mqtt://h", "--mqtt-user", "u", "--mqtt-password-file", "/dev/null"},
         nullptr,
         2,
         "benchd: --mqtt-password-file: /dev/null holds no password on its first line\n",
         {}},
        {"mqtt password without a user",
         {"--mqtt", "mqtt://h", "--mqtt-password-file", "/dev/null"},
         nullptr,
         2,
         "benchd: --mqtt-password-file needs --mqtt-user\n",
         {}},
        {"bench name MQTT cannot carry",
         {"--mqtt", "mqtt://h", "--bench", "b\x01"},
         nullptr,
         2,
         "benchd: --bench: 'b\x01' is not UTF-8 text without control characters",
         {}},
        {"mqtt prefix with an empty first level",
         {"--mqtt", "mqtt://h//a"},
         nullptr,
         2,
         "benchd: --mqtt: 'mqtt://h//a' is not an MQTT URL (mqtt://host[:port][/prefix] or "
         "mqtts://host[:port][/prefix]): the prefix '/a' holds '+', '#' or an empty level\n",
         {}},
        {"mqtt prefix MQTT cannot carry",
         {"--mqtt", "mqtt://h/a\xFF"},
         nullptr,
         2,
         "benchd: --mqtt: 'mqtt://h/a\xFF' is not an MQTT URL (mqtt://host[:port][/prefix] or "
         "mqtts://host[:port][/prefix]): the prefix 'a\xFF' is not UTF-8 text without control "
         "characters, as MQTT topics are\n",
         {}},
        {"bench name with a level",
         {"--mqtt", "mqtt://h", "--bench", "a/b"},
         nullptr,
         2,
         "benchd: --bench: 'a/b' holds '/', '+' or '#'",
         {}},
        {"unterminated quote",
         {},
         "port = 2016\nports = \"ttyUSB*\n",
         2,
         "benchd: %F:2: unterminated quote in the value of 'ports'\n",
         {}},
        {"unterminated quote in a list",
         {},
         "ports = 'ttyUSB*', \"ttyACM*\n",
         2,
         "benchd: %F:1: unterminated quote in the value of 'ports'\n",
         {}},
        {"a quote cut short by a comment",
         {},
         "dev-dir = \"/srv/#2\"\n",
         2,
         "benchd: %F:1: unterminated quote in the value of 'dev-dir' (a '#' starts a comment, "
         "even in quotes)\n",
         {}},
        {"quotes closed, an apostrophe inside a word, one in a comment",
         {},
         "ports = \"ttyUSB*\" 'ttyACM*'  # the lab's\ndev-dir = /srv/o'neil\n",
         -1,
         "",
         {2015, "", "/srv/o'neil", {"ttyUSB*", "ttyACM*"}, {}}},
        {"control bytes shown escaped",
         {},
         "port = 1\n\tp\x7Fo\rrt\x1B[2J = 2\n",
         2,
         "benchd: %F:2: unknown option 'p\\x7Fo\\rrt\\x1B[2J'\n",
         {}},
        {"a NUL byte shown escaped",
         {"--config", nul},
         nullptr,
         2,
         "benchd: " + nul + ":2: unknown option '\\x00po\\x1Brt'\n",
         {}},
        {"a FIFO, not waited on",
         {"--config", fifo},
         nullptr,
         2,
         "benchd: " + fifo + " is a FIFO, not a regular file\n",
         {}},
        {"a directory",
         {"--config", directory},
         nullptr,
         2,
         "benchd: " + directory + " is a directory, not a regular file\n",
         {}},
        {"a device, looked at, never opened",
         {"--config", "/dev/zero"},
         nullptr,
         2,
         "benchd: /dev/zero is a character device, not a regular file\n",
         {}},
        {"no file: /dev/null", {"--config", "/dev/null"}, nullptr, -1, "", {}},
        {"a link to a regular file",
         {"--config", linked},
         nullptr,
         -1,
         "",
         {2018, "", "/dev", {}, {}}},
        {"1 MiB", {"--config", largest}, nullptr, -1, "", {}},
        {"1 MiB and a byte",
         {"--config", tooLarge},
         nullptr,
         2,
         "benchd: " + tooLarge + " is larger than 1 MiB: not a configuration file\n",
         {}},
        {"bench name too long",
         {"--mqtt", "mqtt://h", "--bench", std::string(70000, 'b')},
         nullptr,
         2,
         "benchd: --bench: a name of 70000 characters (at most 128)\n",
         {}},
        {"bench name too long, without a broker",
         {"--bench", std::string(129, 'b')},
         nullptr,
         2,
         "benchd: --bench: a name of 129 characters (at most 128)\n",
         {}},
        {"bench name without a broker",
         {"--bench", "b1"},
         nullptr,
         2,
         "benchd: --bench needs --mqtt\n",
         {}},
        {"mqtt password file a directory",
         {"--mqtt", "mqtt://h", "--mqtt-user", "u", "--mqtt-password-file", "/"},
         nullptr,
         2,
         "benchd: --mqtt-password-file: cannot read /: Is a directory\n",
         {}},
        {"no '='", {}, "port 2016\n", 2, "benchd: %F:1: expected 'key = value'\n", {}},
        {"a section", {}, "[benchd]\nport = 1\n", 2, "benchd: %F:1: expected 'key = value'\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(file.c_str());
        if (c.fileText != nullptr) {
            writeFile(file, c.fileText);
        }
        ParsedOptions parsed = parse(c.args, file);
        if (c.status >= 0) {
            EXPECT_FALSE(parsed.run);
            EXPECT_EQ(parsed.status, c.status);
            const std::string text = std::regex_replace(c.text, std::regex("%F"), file);
            EXPECT_EQ(parsed.text.substr(0, text.size()), text) << parsed.text;
            continue;
        }
        ASSERT_TRUE(parsed.run) << parsed.text;
        const Options& o = parsed.options;
        EXPECT_EQ(o.port, c.options.port);
        EXPECT_EQ(o.bindAddress, c.options.bind);
        EXPECT_EQ(o.devDir, c.options.devDir);
        EXPECT_EQ(o.ports, c.options.ports);
        EXPECT_EQ(o.ignore, c.options.ignore);
        EXPECT_EQ(o.failsafe, c.options.failsafe);
        EXPECT_EQ(o.monitor.port, c.options.monitorPort);
        EXPECT_EQ(o.monitor.bindAddress, c.options.monitorBind);
        EXPECT_EQ(o.monitor.maxObservers, c.options.monitorMax);
        EXPECT_EQ(o.monitor.bufferBytes, c.options.monitorBuffer);
        EXPECT_EQ(o.allow, c.options.allow);
        EXPECT_EQ(o.monitor.allow, c.options.monitorAllow);
        const auto named = std::find(c.args.begin(), c.args.end(), "--config");
        EXPECT_EQ(o.configFile, c.fileText != nullptr   ? file
                                : named != c.args.end() ? *std::next(named)
                                                        : "");
    }
}

// The settings each unit is handed: the capture's ring (its size given in megabytes, kept in
// bytes) and the broker the fleet options come to.
TEST(Options, UnitsGetTheirSettings) {
    TempDir dir;
    const std::string file = dir.path() + "/benchd.conf";
    struct Case {
        const char* what;
        Strings args;
        const char* fileText;  // null: no file
        std::string capture;
        uint64_t captureBytes;
        unsigned captureFiles;
        std::string fleet;  // "host:port base tls user", empty: off
    };
    const Case cases[] = {
        {"defaults", {}, nullptr, "", 64u << 20, 4, ""},
        {"capture on the command line",
         {"--capture", "/tmp/c.pcap", "--capture-size", "2", "--capture-files", "010"},
         nullptr,
         "/tmp/c.pcap",
         2u << 20,
         10,
         ""},
        {"capture from the file, beyond 4 GiB",
         {"--capture-files", "1"},
         "capture = /tmp/f.pcap\ncapture-size = 65536\ncapture-files = 7\n",
         "/tmp/f.pcap",
         uint64_t{65536} << 20,
         1,
         ""},
        {"mqtt",
         {"--mqtt", "mqtt://broker.lan:1884/plant/a/", "--bench", "b1"},
         nullptr,
         "",
         64u << 20,
         4,
         "broker.lan:1884 plant/a/b1/ 0 "},
        {"mqtt from the file",
         {},
         "mqtt = mqtts://broker\nbench = b1\nmqtt-user = u\n",
         "",
         64u << 20,
         4,
         "broker:8883 b1/ 1 u"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(file.c_str());
        if (c.fileText != nullptr) {
            writeFile(file, c.fileText);
        }
        const ParsedOptions parsed = parse(c.args, file);
        ASSERT_TRUE(parsed.run) << parsed.text;
        const Options& o = parsed.options;
        EXPECT_EQ(o.capture.path, c.capture);
        EXPECT_EQ(o.capture.fileBytes, c.captureBytes);
        EXPECT_EQ(o.capture.files, c.captureFiles);
        const FleetConfig& f = o.fleet;
        EXPECT_EQ(f.enabled ? f.host + ":" + std::to_string(f.port) + " " + f.base() + " " +
                                  std::to_string(f.tls) + " " + f.user
                            : "",
                  c.fleet);
    }
}

// Under the service manager the MQTT password comes as a credential when no file is named; a
// password file every user may read is said, not refused.
TEST(Options, MqttPasswordFromTheServiceCredential) {
    TempDir dir;
    const std::string credential = dir.path() + "/mqtt-password";
    writeFile(credential, "from the credential\n");
    ::chmod(credential.c_str(), 0400);
    const std::string named = dir.path() + "/named";
    writeFile(named, "named\n");
    ::chmod(named.c_str(), 0644);
    ::setenv("CREDENTIALS_DIRECTORY", dir.path().c_str(), 1);
    const Strings broker = {"--mqtt", "mqtt://h", "--bench", "b1"};
    auto with = [&](Strings more) {
        Strings args = broker;
        args.insert(args.end(), more.begin(), more.end());
        return parse(args, "/nonexistent");
    };

    ParsedOptions parsed = with({"--mqtt-user", "u"});
    ASSERT_TRUE(parsed.run) << parsed.text;
    EXPECT_EQ(parsed.options.fleet.password, "from the credential");
    EXPECT_EQ(parsed.options.fleet.warning, "");

    // A file named wins; readable by every user, it is said.
    parsed = with({"--mqtt-user", "u", "--mqtt-password-file", named});
    ASSERT_TRUE(parsed.run) << parsed.text;
    EXPECT_EQ(parsed.options.fleet.password, "named");
    EXPECT_EQ(parsed.options.fleet.warning, "MQTT: the password file " + named +
                                                " is readable by every user (mode 0644); "
                                                "chmod o-r " +
                                                named);

    // No user, no password; no credential, no password either.
    parsed = with({});
    ASSERT_TRUE(parsed.run) << parsed.text;
    EXPECT_EQ(parsed.options.fleet.password, "");
    ::unlink(credential.c_str());
    parsed = with({"--mqtt-user", "u"});
    ::unsetenv("CREDENTIALS_DIRECTORY");
    ASSERT_TRUE(parsed.run) << parsed.text;
    EXPECT_EQ(parsed.options.fleet.password, "");
}

TEST(Options, CommandLineErrorsShowTheUsage) {
    ParsedOptions parsed = parse({"--bogus"}, "/nonexistent");
    EXPECT_NE(parsed.text.find("Usage: benchd"), std::string::npos) << parsed.text;
    EXPECT_NE(parsed.text.find("--ignore GLOB"), std::string::npos) << parsed.text;
}

// The package's default file parses, names every option and, uncommented, gives the defaults.
TEST(Options, PackagedFileParsesAndShowsTheDefaults) {
    const std::string packaged = BENCHD_PACKAGED_CONFIG;
    ParsedOptions asShipped = parse({"--config", packaged}, "/nonexistent");
    ASSERT_TRUE(asShipped.run) << asShipped.text;
    EXPECT_EQ(asShipped.options.port, 2015);
    EXPECT_TRUE(asShipped.options.ports.empty());

    const std::string text = readAll(packaged);
    const std::string help = parse({"--help"}, "/nonexistent").text;
    std::smatch option;
    for (auto at = help.cbegin();
         std::regex_search(at, help.cend(), option, std::regex("  --([a-z-]+)"));
         at = option.suffix().first) {
        const std::string name = option[1];
        if (name != "help" && name != "version" && name != "config") {
            EXPECT_NE(text.find("\n#" + name + " ="), std::string::npos) << name;
        }
    }

    TempDir dir;
    const std::string uncommented = dir.path() + "/benchd.conf";
    writeFile(uncommented, std::regex_replace(text, std::regex("\n#([a-z-]+ =)"), "\n$1"));
    ParsedOptions parsed = parse({"--config", uncommented}, "/nonexistent");
    ASSERT_TRUE(parsed.run) << parsed.text;
    EXPECT_EQ(parsed.options.port, 2015);
    EXPECT_EQ(parsed.options.bindAddress, "0.0.0.0");
    EXPECT_EQ(parsed.options.devDir, "/dev");
    EXPECT_EQ(parsed.options.ports, (Strings{"???USB*", "???S?"}));
    EXPECT_TRUE(parsed.options.ignore.empty());
    EXPECT_EQ(parsed.options.failsafe, 0u);
    EXPECT_EQ(parsed.options.monitor.port, 2016);
    EXPECT_EQ(parsed.options.monitor.bindAddress, "127.0.0.1");
    EXPECT_EQ(parsed.options.monitor.maxObservers, 8u);
    EXPECT_EQ(parsed.options.monitor.bufferBytes, 1u << 20);
}

TEST(PortGlobs, SelectTheNamesOfTheDeviceDirectory) {
    struct Case {
        PortGlobs globs;
        const char* name;
        bool taken;
    };
    const Case cases[] = {
        {{}, "ttyUSB0", true},
        {{}, "ttyS0", true},
        {{}, "ttyACM0", false},
        {{{}, {"ttyS*"}}, "ttyS0", false},
        {{{}, {"ttyS*"}}, "ttyUSB0", true},
        {{{"ttyACM*"}, {}}, "ttyACM0", true},
        {{{"ttyACM*"}, {}}, "ttyUSB0", false},
        {{{"ttyUSB*"}, {"ttyUSB1"}}, "ttyUSB1", false},
        {{{"ttyUSB*"}, {"ttyUSB1"}}, "ttyUSB10", true},
        {{{"*"}, {}}, ".", false},
        {{{"*"}, {}}, "..", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerialWatcher("/nonexistent", c.globs).takes(c.name), c.taken) << c.name;
    }
    // The globs that the default file gives for the built-in filter say exactly the same.
    const SerialWatcher spelled("/nonexistent", {{"???USB*", "???S?"}, {}});
    for (const char* name : {"ttyUSB0", "ttyUSB12", "xyzUSB7", "ttyUS", "ttyS0", "ptyS3", "ttyS10",
                             "ttys0", "ttyACM0", "tty", ""}) {
        EXPECT_EQ(spelled.takes(name), SerialWatcher::select(name)) << name;
    }
}
