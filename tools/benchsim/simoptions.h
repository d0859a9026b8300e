// The simulator's command line: the device directory, the boards as KIND=NAME[,fault...],
// and global fault flags that every board takes unless its own list says otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocolendpoint.h"

struct BoardSpec {
    std::string kind;
    std::string name;
    LinkFaults link;
    // Seconds after start; negative for never. replugAfter counts from the unplug.
    double silentAfter = -1;
    double unplugAfter = -1;
    double replugAfter = -1;
    // A stand whose motor turns at this speed whatever it is told (-1: a sound motor).
    int holdRpm = -1;
};

struct SimConfig {
    std::string dir;
    std::vector<BoardSpec> boards;
    bool verbose = false;
    bool help = false;
    uint32_t seed = 1;
    // A capture to play back instead of simulated boards, and how many times faster.
    std::string replay;
    double replaySpeed = 1;
    // Off when empty: the frame log to append to, and where fault commands come from.
    std::string frameLog;
    std::string control;
};

class SimOptions {
public:
    // Parses the arguments after the program name. False with a reason on a bad command line;
    // with --help it succeeds and sets `help` without checking the rest.
    static bool parse(const std::vector<std::string>& args, SimConfig& config, std::string& error);
    static std::string usage();
};
