// benchctl's command line: global options, then one of monitor, send or chart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CtlConfig {
    std::string host = "127.0.0.1";
    uint16_t port = 2015;
    double connectTimeout = 5;      // seconds
    double timeout = 30;            // seconds, chart only
    std::string command;            // "monitor", "send" or "chart"
    std::vector<std::string> args;  // monitor: keys; send: KEY:VALUE messages
    int chart = 0;
    std::string svgPath;
    std::size_t cut = 0;  // monitor: longest line printed, 0 for no limit
    bool help = false;
};

class CtlOptions {
public:
    // Parses the arguments after the program name; false with a reason.
    static bool parse(const std::vector<std::string>& args, CtlConfig& config, std::string& error);
    static std::string usage();
};
