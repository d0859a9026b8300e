#include "ctloptions.h"

#include <cmath>
#include <cstdlib>

#include "chartmessage.h"

namespace {

bool parseSeconds(const std::string& text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(seconds) && seconds >= 0;
}

}  // namespace

bool CtlOptions::parse(const std::vector<std::string>& args, CtlConfig& config,
                       std::string& error) {
    config = CtlConfig{};
    std::vector<std::string> words;
    bool portGiven = false;
    bool timeoutGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            config.help = true;
            return true;
        }
        if (arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--control") {
            config.control = true;
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        std::size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = arg + " needs a value";
            return false;
        }
        if (name == "host") {
            config.host = value;
        } else if (name == "port") {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 1 || port > 65535) {
                error = "--port takes a number from 1 to 65535, not '" + value + "'";
                return false;
            }
            config.port = static_cast<uint16_t>(port);
            portGiven = true;
        } else if (name == "cut") {
            char* end = nullptr;
            long cut = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || cut < 0) {
                error = "--cut takes a number of characters, not '" + value + "'";
                return false;
            }
            config.cut = static_cast<std::size_t>(cut);
        } else if (name == "svg") {
            config.svgPath = value;
        } else if (name == "timeout" || name == "connect-timeout") {
            if (!parseSeconds(value, name == "timeout" ? config.timeout : config.connectTimeout)) {
                error = "--" + name + " takes seconds, not '" + value + "'";
                return false;
            }
            timeoutGiven = timeoutGiven || name == "timeout";
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }

    if (words.empty()) {
        error = "no command given (monitor, status, top, send or chart)";
        return false;
    }
    config.command = words[0];
    config.args.assign(words.begin() + 1, words.end());
    const bool observer =
        config.command == "monitor" || config.command == "status" || config.command == "top";
    if (!portGiven) {
        config.port =
            observer && !config.control ? CtlConfig::MONITOR_PORT : CtlConfig::CONTROL_PORT;
    }
    if (config.command == "status" && !timeoutGiven) {
        config.timeout = 5;
    }
    if (config.command == "monitor") {
        return true;
    }
    if (config.command == "status" || config.command == "top") {
        if (!config.args.empty()) {
            error = config.command + " takes no arguments";
            return false;
        }
        return true;
    }
    if (config.command == "send") {
        if (config.args.empty()) {
            error = "send needs at least one KEY:VALUE";
            return false;
        }
        for (const std::string& message : config.args) {
            if (message.find(':') == std::string::npos) {
                error = "'" + message + "' is not KEY:VALUE";
                return false;
            }
        }
        return true;
    }
    if (config.command == "chart") {
        if (config.args.size() != 1 || config.args[0].size() != 1 || config.args[0][0] < '1' ||
            config.args[0][0] > '0' + ChartMessage::CHARTS) {
            error = "chart takes one chart number from 1 to 6";
            return false;
        }
        config.chart = config.args[0][0] - '0';
        if (config.svgPath.empty()) {
            error = "chart needs --svg FILE";
            return false;
        }
        return true;
    }
    error = "unknown command '" + config.command + "'";
    return false;
}

std::string CtlOptions::usage() {
    return "Usage: benchctl [--host H] [--port P] [--control] [--connect-timeout SEC] COMMAND ...\n"
           "A command-line client of benchd (default 127.0.0.1). monitor, status and top use\n"
           "benchd's monitor port 2016, where observers watch beside the control software;\n"
           "send and chart use the control port 2015.\n"
           "\n"
           "Commands:\n"
           "  monitor [--cut N] [KEY...]\n"
           "                          print every message from benchd on its own line, with\n"
           "                          the local time; only the given keys if any (device_rpm\n"
           "                          or device_rpm:); lines cut at N characters if given.\n"
           "                          Reconnects by itself when the connection drops. Lines\n"
           "                          typed on standard input (KEY:VALUE) are sent to benchd:\n"
           "                          settings with --control, 'status' on the monitor port.\n"
           "  status [--timeout SEC]  print benchd's status: version, uptime, control client,\n"
           "                          observers, and a table of the ports with their counters\n"
           "                          (default timeout 5 s)\n"
           "  top                     a live full-screen view: ports, the latest values by\n"
           "                          board, the charts; q quits\n"
           "  send KEY:VALUE...       send settings, each followed by \";\", then disconnect\n"
           "  chart N --svg FILE [--timeout SEC]\n"
           "                          wait for the next complete oscillogram chart N (1 to 6)\n"
           "                          and plot it into FILE as SVG (default timeout 30 s)\n"
           "\n"
           "Options:\n"
           "  --control               monitor, status or top on the control port 2015\n"
           "  --port P                this port whatever the command\n"
           "\n"
           "The control port serves one client at a time: send and chart wait while the control\n"
           "software (or a monitor --control) is connected. The monitor port takes several\n"
           "observers (8 by default) that only watch.\n"
           "Exit status: 0 done, 1 connection or I/O failure (or no chart or status in time),\n"
           "2 usage.\n";
}
