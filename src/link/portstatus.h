// Every port's status as the monitor's status block and the fleet publisher show it: the
// board's device id, whether it identified itself, the low-latency setting and the counters
// printed on SIGUSR1.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct PortStatus {
    std::string name;      // the device name, "ttyUSB0"
    unsigned char device;  // known_devices::UNKNOWN until the board identified itself
    bool identified;
    bool lowLatency;
    // Named and ordered as the counters line names them (Channel::counterFigures).
    std::vector<std::pair<const char*, uint64_t>> counters;
};

// The ports present, in ascending name order. Safe from any thread (takes channelMapMutex
// alone, briefly).
std::vector<PortStatus> portStatuses();
