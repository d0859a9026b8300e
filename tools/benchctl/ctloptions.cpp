#include "ctloptions.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "chartmessage.h"

namespace {

bool parseSeconds(const std::string& text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(seconds) && seconds >= 0;
}

// A whole number from `low` to `high`, nothing else around it.
bool parseNumber(const std::string& text, long low, long high, long& number) {
    char* end = nullptr;
    errno = 0;
    number = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && number >= low && number <= high;
}

// The option texts as given; empty when absent. Checked after parsing, so that each mistake
// gets benchctl's own words.
struct Given {
    std::string port, cut, svg, timeout, connectTimeout, listen, monitor, maxViewers, chart;
};

}  // namespace

bool CtlOptions::parseAddress(const std::string& text, bool anyPort, std::string& host,
                              uint16_t& port, std::string& error) {
    std::size_t colon = text.rfind(':');
    long number = 0;
    if (colon == std::string::npos || colon == 0 ||
        !parseNumber(text.substr(colon + 1), anyPort ? 0 : 1, 65535, number)) {
        error =
            "'" + text + "' is not HOST:PORT (a port from " + (anyPort ? "0" : "1") + " to 65535)";
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    port = static_cast<uint16_t>(number);
    return true;
}

bool CtlOptions::parse(const std::vector<std::string>& args, CtlConfig& config,
                       std::string& error) {
    config = CtlConfig{};
    // Help wins wherever it stands, even beside a command line that would not parse.
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            config.help = true;
            return true;
        }
    }

    Given given;
    CLI::App app("benchctl", "benchctl");
    app.set_help_flag();
    // Global options may also follow the command (benchctl status --port 2016).
    app.fallthrough();
    app.require_subcommand(0, 1);
    app.add_option("--host", config.host);
    app.add_option("--port", given.port);
    app.add_flag("--control", config.control);
    app.add_option("--timeout", given.timeout);
    app.add_option("--connect-timeout", given.connectTimeout);

    CLI::App* monitor = app.add_subcommand("monitor");
    monitor->add_option("--cut", given.cut);
    monitor->add_option("keys", config.args);
    CLI::App* status = app.add_subcommand("status");
    CLI::App* top = app.add_subcommand("top");
    CLI::App* send = app.add_subcommand("send");
    send->add_option("messages", config.args);
    CLI::App* chart = app.add_subcommand("chart");
    chart->add_option("number", given.chart);
    chart->add_option("--svg", given.svg);
    CLI::App* web = app.add_subcommand("web");
    web->add_option("--listen", given.listen);
    web->add_option("--monitor", given.monitor);
    web->add_option("--max-viewers", given.maxViewers);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch&) {
        // An option at the end without its value.
        error = args.back() + " needs a value";
        return false;
    } catch (const CLI::ExtrasError& extras) {
        static const std::set<std::string> known = {
            "host", "port", "control", "timeout", "connect-timeout",
            "cut",  "svg",  "listen",  "monitor", "max-viewers"};
        for (const std::string& arg : args) {
            if (arg.compare(0, 2, "--") == 0 && !known.count(arg.substr(2, arg.find('=') - 2))) {
                error = "unknown option '" + arg + "'";
                return false;
            }
        }
        const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands()[0];
        if (chosen == nullptr) {
            error = extras.what();
            for (std::size_t i = 0; i < args.size(); ++i) {
                if (args[i].compare(0, 2, "--") != 0) {
                    error = "unknown command '" + args[i] + "'";
                    break;
                }
                // A global option's value is not the command.
                i += args[i] != "--control" && args[i].find('=') == std::string::npos;
            }
        } else if (chosen == status || chosen == top || chosen == web) {
            error = chosen->get_name() + " takes no arguments";
        } else {
            error = extras.what();
        }
        return false;
    } catch (const CLI::ParseError& failure) {
        error = failure.what();
        return false;
    }

    if (app.get_subcommands().empty()) {
        error = "no command given (monitor, status, top, send, chart or web)";
        return false;
    }
    const CLI::App* chosen = app.get_subcommands()[0];
    config.command = chosen->get_name();

    long number = 0;
    if (!given.port.empty()) {
        if (!parseNumber(given.port, 1, 65535, number)) {
            error = "--port takes a number from 1 to 65535, not '" + given.port + "'";
            return false;
        }
        config.port = static_cast<uint16_t>(number);
    }
    if (!given.cut.empty()) {
        if (!parseNumber(given.cut, 0, 1L << 30, number)) {
            error = "--cut takes a number of characters, not '" + given.cut + "'";
            return false;
        }
        config.cut = static_cast<std::size_t>(number);
    }
    if (!given.timeout.empty() && !parseSeconds(given.timeout, config.timeout)) {
        error = "--timeout takes seconds, not '" + given.timeout + "'";
        return false;
    }
    if (!given.connectTimeout.empty() &&
        !parseSeconds(given.connectTimeout, config.connectTimeout)) {
        error = "--connect-timeout takes seconds, not '" + given.connectTimeout + "'";
        return false;
    }

    const bool observer = chosen == monitor || chosen == status || chosen == top || chosen == web;
    if (given.port.empty()) {
        config.port =
            observer && !config.control ? CtlConfig::MONITOR_PORT : CtlConfig::CONTROL_PORT;
    }
    if (chosen == status && given.timeout.empty()) {
        config.timeout = 5;
    }
    if (chosen == send) {
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
    }
    if (chosen == chart) {
        if (!parseNumber(given.chart, 1, ChartMessage::CHARTS, number) || given.chart.size() != 1) {
            error = "chart takes one chart number from 1 to 6";
            return false;
        }
        config.chart = static_cast<int>(number);
        config.svgPath = given.svg;
        if (config.svgPath.empty()) {
            error = "chart needs --svg FILE";
            return false;
        }
    }
    if (chosen == web) {
        if (config.control) {
            // The page only watches: it never takes the control client's place.
            error = "web watches the monitor port; --control does not apply";
            return false;
        }
        if (!given.listen.empty() &&
            !parseAddress(given.listen, true, config.listenHost, config.listenPort, error)) {
            error = "--listen: " + error;
            return false;
        }
        if (!given.monitor.empty() &&
            !parseAddress(given.monitor, false, config.host, config.port, error)) {
            error = "--monitor: " + error;
            return false;
        }
        if (!given.maxViewers.empty()) {
            if (!parseNumber(given.maxViewers, 1, 1000, number)) {
                error =
                    "--max-viewers takes a number from 1 to 1000, not '" + given.maxViewers + "'";
                return false;
            }
            config.maxViewers = static_cast<std::size_t>(number);
        }
    }
    return true;
}

std::string CtlOptions::usage() {
    return "Usage: benchctl [--host H] [--port P] [--control] [--connect-timeout SEC] COMMAND ...\n"
           "A command-line client of benchd (default 127.0.0.1). monitor, status, top and web\n"
           "use benchd's monitor port 2016, where observers watch beside the control software;\n"
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
           "  web [--listen ADDR:PORT] [--monitor HOST:PORT] [--max-viewers N]\n"
           "                          serve a read-only live page of the bench to browsers\n"
           "                          (default 127.0.0.1:8015; port 0: any free one, printed),\n"
           "                          watching benchd's monitor port (default --host and\n"
           "                          --port); at most N browsers at once (default 32)\n"
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
