// benchctl's command line: global options, then one of monitor, status, top, send, chart or
// web.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CtlConfig {
    static constexpr uint16_t CONTROL_PORT = 2015;
    static constexpr uint16_t MONITOR_PORT = 2016;
    static constexpr uint16_t WEB_PORT = 8015;
    static constexpr std::size_t MAX_VIEWERS = 32;

    std::string host = "127.0.0.1";
    // --port, else the command's: the monitor port for monitor, status, top and web (so that
    // they run beside the control software), the control port for send, chart and --control.
    uint16_t port = CONTROL_PORT;
    bool control = false;           // --control: monitor, status and top on the control port
    double connectTimeout = 5;      // seconds
    double timeout = 30;            // seconds: chart 30, status 5 unless --timeout
    std::string command;            // "monitor", "status", "top", "send", "chart" or "web"
    std::vector<std::string> args;  // monitor: keys; send: KEY:VALUE messages
    int chart = 0;
    std::string svgPath;
    std::size_t cut = 0;  // monitor: longest line printed, 0 for no limit
    // web: the address and port the page is served on, and the viewers served at once.
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = WEB_PORT;
    std::size_t maxViewers = MAX_VIEWERS;
    bool help = false;
};

class CtlOptions {
public:
    // Parses the arguments after the program name; false with a reason.
    static bool parse(const std::vector<std::string>& args, CtlConfig& config, std::string& error);
    static std::string usage();
    // "HOST:PORT" (the port 1 to 65535, or 0 when `anyPort`); false with a reason.
    static bool parseAddress(const std::string& text, bool anyPort, std::string& host,
                             uint16_t& port, std::string& error);
};
