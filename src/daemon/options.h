// The daemon's options: the command line over the configuration file over the defaults.
// The file takes the long options as keys ("port = 2016", "ports = ttyUSB* ttyACM*", "#"
// comments); the default file is read only when it exists, a file named by --config must.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/recorder.h"
#include "client/monitorserver.h"
#include "fleet/fleetconfig.h"

struct Options {
    uint16_t port = 2015;     // 0: a port the system picks, printed once bound
    std::string bindAddress;  // one IPv4 address of this PC; empty: all addresses
    // Networks ("ADDR[/PREFIX]", IPv4 or IPv6) whose control clients are served; empty:
    // anyone's.
    std::vector<std::string> allow;
    std::string devDir = "/dev";
    // Globs over device names (not paths): with `ports` only the names matching one of them
    // are taken, instead of the built-in filter; a name matching `ignore` never is.
    std::vector<std::string> ports;
    std::vector<std::string> ignore;
    // Seconds without a control client after which the boards are put in their safe state
    // (and on stop); 0: off.
    unsigned failsafe = 0;
    // The monitor port, for read-only observers beside the control client; port 0: none.
    MonitorSettings monitor;
    // Capture of every port's frames and the client's messages to a ring of pcap files;
    // an empty path: off.
    capture::RecorderSettings capture;
    std::string configFile;  // the file read; empty when none was

    // Fleet telemetry: the bench's state published to an MQTT broker (fleet/publisher.h).
    // The options as given, then what they come to once checked.
    FleetOptions mqtt;
    FleetConfig fleet;
};

// What a command line amounts to: the options to run with, or a text to print and the exit
// status (0 after --help or --version, their text for standard output; 2 for a bad option or
// configuration file, the message for standard error).
struct ParsedOptions {
    bool run = false;
    Options options;
    int status = 0;
    std::string text;
};

// `defaultConfig` is read when it exists and --config names no other file.
ParsedOptions parseOptions(int argc, const char* const argv[],
                           const std::string& defaultConfig = BENCHD_CONFIG_FILE);
