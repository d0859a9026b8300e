#include <arpa/inet.h>
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/tcpserver.h"
#include "link/serialwatcher.h"
#include "protocol/bytes.h"
#include "service/console.h"
#include "service/runstate.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: benchd [--port N] [--bind ADDR] [--dev-dir DIR]\n"
                 "Connects the boards of the test bench to one TCP client.\n"
                 "\n"
                 "  --port N       TCP port to serve the client on (default 2015)\n"
                 "  --bind ADDR    IPv4 address to listen on (default: all addresses)\n"
                 "  --dev-dir DIR  directory scanned for serial ports (default /dev)\n"
                 "  --help         print this help and exit\n"
                 "  --version      print the version and exit\n");
}

// The watcher prints the counters on its next pass; nothing else is safe here.
void requestCounters(int) {
    countersRequested.store(true);
}

bool parsePort(const char* text, uint16_t& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// The long name of the option whose short code is `code`.
const char* optionName(const option* options, int code) {
    for (; options->name != nullptr; ++options) {
        if (options->val == code) {
            return options->name;
        }
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of our standard output or error that goes away (benchd | head -1) must not end
    // the daemon: the console drops what it can no longer write. The client's socket is
    // written with MSG_NOSIGNAL anyway.
    ::signal(SIGPIPE, SIG_IGN);

    uint16_t port = 2015;
    std::string devDir = "/dev";
    std::string bindAddress;

    static const option options[] = {
        {"port", required_argument, nullptr, 'p'},    {"bind", required_argument, nullptr, 'b'},
        {"dev-dir", required_argument, nullptr, 'd'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},       {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int option;
    // The leading ':' tells a missing value (':') from an unknown option ('?').
    while ((option = getopt_long(argc, argv, ":", options, nullptr)) != -1) {
        switch (option) {
            case 'p':
                if (!parsePort(optarg, port)) {
                    std::fprintf(stderr, "benchd: invalid port: %s\n", optarg);
                    usage(stderr);
                    return 2;
                }
                break;
            case 'b': {
                in_addr parsed{};
                if (inet_pton(AF_INET, optarg, &parsed) != 1) {
                    std::fprintf(stderr, "benchd: invalid address: %s\n", optarg);
                    usage(stderr);
                    return 2;
                }
                bindAddress = optarg;
                break;
            }
            case 'd':
                devDir = optarg;
                break;
            case 'h':
                usage(stdout);
                return 0;
            case 'v':
                std::printf("benchd %s\n", BENCHD_VERSION);
                return 0;
            case ':':
                std::fprintf(stderr, "benchd: option --%s needs a value\n",
                             optionName(options, optopt));
                usage(stderr);
                return 2;
            default:
                std::fprintf(stderr, "benchd: unknown option: %s\n", argv[optind - 1]);
                usage(stderr);
                return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "benchd: unexpected argument: %s\n", argv[optind]);
        usage(stderr);
        return 2;
    }

    // Before the start-up line, so that whoever waits for it may signal at once. SA_RESTART
    // keeps the blocking calls going; the waits that poll() treat an interruption as a pass
    // with nothing ready.
    struct sigaction counters {};
    counters.sa_handler = requestCounters;
    sigemptyset(&counters.sa_mask);
    counters.sa_flags = SA_RESTART;
    ::sigaction(SIGUSR1, &counters, nullptr);

    const unsigned char startBytes[8] = {0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
    console::out(std::to_string(util::chartol(startBytes, 0)));

    // The port comes first: a daemon that cannot serve a client must not take the boards.
    TcpServer server(port, bindAddress);
    if (!server.listen()) {
        console::drain();
        return 1;
    }
    if (port == 0) {
        // --port 0: the system chose the port, and whoever started us needs to know which.
        console::out("Listening on port " + std::to_string(server.port()));
    }
    SerialWatcher watcher(devDir);
    watcher.start();
    server.connect();
    // A bounded wait: a standard output that never drains must not keep the process from
    // exiting (the console's writer is never joined).
    console::drain();
    return 0;
}
