// The configuration file: any bytes as the file named by --config, read by parseOptions, the
// daemon's own reading of its command line and file.
//
// Input: the file's bytes, written once per input to a file of a per-process temporary
// directory. The reading must never throw or end the process; a refusal is one line,
// "benchd: ...", whatever the file holds (its bytes escaped); options accepted must be what
// each option's own check lets through.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/addressfilter.h"
#include "daemon/options.h"
#include "fleet/fleetconfig.h"
#include "fuzzsupport.h"

namespace {

std::string directory;
std::string configPath;

bool writeFile(const uint8_t* input, size_t size) {
    const int fd = ::open(configPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot write %s\n", configPath.c_str());
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd, input + done, size - done);
        FUZZ_CHECK(wrote > 0, "cannot write %s\n", configPath.c_str());
        done += static_cast<std::size_t>(wrote);
    }
    ::close(fd);
    return true;
}

// The password file is read wherever the file says: a fuzzer's path could name a real serial
// port. Such inputs are left out (the fleet target covers the password's neighbours).
bool namesPasswordFile(const uint8_t* input, size_t size) {
    std::string text(reinterpret_cast<const char*>(input), size);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("password") != std::string::npos;
}

void checkRefusal(const std::string& text) {
    FUZZ_CHECK(text.rfind("benchd: ", 0) == 0 && !text.empty() && text.back() == '\n',
               "a refusal not in the daemon's words: [%s]\n", text.c_str());
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7F, "a refusal with a raw control byte 0x%02X: [%s]\n",
                   byte, text.c_str());
    }
}

void checkOptions(const Options& options) {
    in_addr parsed{};
    FUZZ_CHECK(options.bindAddress.empty() ||
                   ::inet_pton(AF_INET, options.bindAddress.c_str(), &parsed) == 1,
               "bind address [%s] taken\n", options.bindAddress.c_str());
    FUZZ_CHECK(::inet_pton(AF_INET, options.monitor.bindAddress.c_str(), &parsed) == 1,
               "monitor address [%s] taken\n", options.monitor.bindAddress.c_str());
    for (const std::vector<std::string>* list : {&options.allow, &options.monitor.allow}) {
        for (const std::string& network : *list) {
            FUZZ_CHECK(!network.empty() && AddressFilter::check(network).empty(),
                       "network [%s] taken\n", network.c_str());
        }
    }
    for (const std::vector<std::string>* list : {&options.ports, &options.ignore}) {
        for (const std::string& glob : *list) {
            FUZZ_CHECK(!glob.empty() && glob.find('/') == std::string::npos, "glob [%s] taken\n",
                       glob.c_str());
        }
    }
    FUZZ_CHECK(!options.devDir.empty(), "an empty device directory taken\n");
    FUZZ_CHECK(options.failsafe <= 86400, "fail-safe of %u s taken\n", options.failsafe);
    FUZZ_CHECK(options.monitor.maxObservers >= 1 && options.monitor.maxObservers <= 256,
               "%zu observers taken\n", options.monitor.maxObservers);
    FUZZ_CHECK(options.monitor.bufferBytes >= 4096 && options.monitor.bufferBytes <= (64u << 20),
               "an observer buffer of %zu bytes taken\n", options.monitor.bufferBytes);
    FUZZ_CHECK(options.capture.path.empty() || options.capture.path.back() != '/',
               "capture file [%s] taken\n", options.capture.path.c_str());
    FUZZ_CHECK(options.capture.fileBytes >= (1u << 20) &&
                   options.capture.fileBytes <= (std::uint64_t{65536} << 20) &&
                   options.capture.fileBytes % (1u << 20) == 0,
               "capture files of %llu bytes taken\n",
               static_cast<unsigned long long>(options.capture.fileBytes));
    FUZZ_CHECK(options.capture.files >= 1 && options.capture.files <= 1000,
               "%u capture files taken\n", options.capture.files);
    FUZZ_CHECK(options.configFile == configPath, "the file read is [%s]\n",
               options.configFile.c_str());
    const FleetConfig& fleet = options.fleet;
    FUZZ_CHECK(fleet.enabled == !options.mqtt.url.empty(), "MQTT %s with URL [%s]\n",
               fleet.enabled ? "on" : "off", options.mqtt.url.c_str());
    if (fleet.enabled) {
        FUZZ_CHECK(checkTopicLevel(fleet.bench).empty(), "bench name [%s] taken\n",
                   fleet.bench.c_str());
        FleetConfig again;
        FUZZ_CHECK(parseMqttUrl(options.mqtt.url, again).empty() && again.host == fleet.host &&
                       again.port == fleet.port && again.prefix == fleet.prefix &&
                       again.tls == fleet.tls,
                   "MQTT URL [%s] read two ways\n", options.mqtt.url.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::silenceConsole();
    // A password file is never looked for where the service manager would put it.
    ::unsetenv("CREDENTIALS_DIRECTORY");
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/fuzz_config_file.XXXXXX";
    FUZZ_CHECK(::mkdtemp(&pattern[0]) != nullptr, "cannot make a temporary directory\n");
    directory = pattern;
    configPath = directory + "/benchd.conf";
    std::atexit([] {
        ::unlink(configPath.c_str());
        ::rmdir(directory.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    const fuzz_support::ConsoleSettled settled;
    if (namesPasswordFile(input, size)) {
        return 0;
    }
    writeFile(input, size);
    const std::string noDefault = directory + "/none.conf";
    const char* const argv[] = {"benchd", "--config", configPath.c_str(), nullptr};
    const ParsedOptions parsed = parseOptions(3, argv, noDefault);
    if (parsed.run) {
        FUZZ_CHECK(parsed.status == 0 && parsed.text.empty(), "a run with status %d [%s]\n",
                   parsed.status, parsed.text.c_str());
        checkOptions(parsed.options);
    } else {
        FUZZ_CHECK(parsed.status == 2, "a refusal with status %d [%s]\n", parsed.status,
                   parsed.text.c_str());
        checkRefusal(parsed.text);
    }
    return 0;
}
