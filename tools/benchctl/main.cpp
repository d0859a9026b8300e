// benchctl: a command-line client of benchd (monitor, status, top, send settings, plot a
// chart, serve a live page to browsers).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backoff.h"
#include "chartmessage.h"
#include "clientconnection.h"
#include "ctloptions.h"
#include "messagestream.h"
#include "monitorfilter.h"
#include "statusblock.h"
#include "svgchart.h"
#include "topcommand.h"
#include "webserver.h"

#if defined(__SANITIZE_THREAD__)
// cpp-httplib comes as a shared library built without ThreadSanitizer, which therefore cannot
// see the guard of the library's function-local statics: two workers that parse their first
// requests at once read as a race inside it. The library's own accesses go unchecked; the
// handlers of ours that it calls are still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested.store(true);
}

std::chrono::milliseconds toMs(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0));
}

bool connectTo(const CtlConfig& config, ClientConnection& connection) {
    std::string error;
    if (!connection.connect(config.host, config.port, toMs(config.connectTimeout), error)) {
        std::fprintf(stderr, "benchctl: %s\n", error.c_str());
        return false;
    }
    return true;
}

// One client message from a line typed on standard input, or empty to skip the line.
std::string messageFromLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') {
        return {};
    }
    line.erase(0, start);
    if (line.back() != ';') {
        line += ';';
    }
    return line;
}

// Waits `wait`, waking early on a stop request.
void pause(std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!stopRequested.load() && std::chrono::steady_clock::now() < until) {
        ::poll(nullptr, 0, 50);
    }
}

// Connects again after a lost connection, one attempt per back-off step, until connected
// (true) or asked to stop (false).
bool reconnect(const CtlConfig& config, ClientConnection& connection, Backoff& backoff) {
    connection.close();
    while (!stopRequested.load()) {
        pause(backoff.next());
        std::string error;
        if (!stopRequested.load() &&
            connection.connect(config.host, config.port, std::chrono::milliseconds(0), error)) {
            return true;
        }
    }
    return false;
}

int monitor(const CtlConfig& config) {
    ClientConnection connection;
    if (!connectTo(config, connection)) {
        return 1;
    }
    MonitorFilter filter(config.args, config.cut);
    MessageStream stream;
    Backoff backoff;
    std::string input;
    bool stdinOpen = true;
    char buffer[8192];
    while (!stopRequested.load()) {
        pollfd fds[2] = {{connection.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, stdinOpen ? 2 : 1, 200) <= 0) {
            continue;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = connection.receive(buffer, sizeof buffer);
            if (n <= 0) {
                // The daemon restarted or the link dropped: the monitor goes on by itself.
                std::fprintf(stderr, "benchctl: connection lost, reconnecting...\n");
                if (!reconnect(config, connection, backoff)) {
                    return 0;
                }
                std::fprintf(stderr, "benchctl: reconnected\n");
                stream = MessageStream();
                continue;
            }
            stream.feed(buffer, static_cast<std::size_t>(n));
            std::string message;
            while (stream.next(message)) {
                if (MonitorFilter::isNotice(message)) {
                    std::fflush(stdout);
                } else {
                    // A connection that delivers is a good one: the next loss retries soon.
                    backoff.reset();
                }
                if (auto line = filter.line(std::chrono::system_clock::now(), message)) {
                    std::printf("%s\n", line->c_str());
                }
            }
        }
        if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                stdinOpen = false;  // no more settings; keep monitoring
                continue;
            }
            input.append(buffer, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = input.find('\n')) != std::string::npos) {
                std::string message = messageFromLine(input.substr(0, end));
                input.erase(0, end + 1);
                // A broken connection shows on the next read, which reconnects.
                if (!message.empty() && !connection.sendAll(message)) {
                    std::fprintf(stderr, "benchctl: cannot send to benchd\n");
                }
            }
        }
    }
    return 0;
}

// Reads messages until `take` gives an exit status for one. Prints `timedOut` and gives 1 when
// `timeout` seconds pass first; gives 1 when benchd closes the connection or on Ctrl-C.
int untilMessage(ClientConnection& connection, double timeout, const std::string& timedOut,
                 const std::function<std::optional<int>(const std::string&)>& take) {
    const auto deadline = std::chrono::steady_clock::now() + toMs(timeout);
    MessageStream stream;
    char buffer[65536];
    while (!stopRequested.load()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "benchctl: %s\n", timedOut.c_str());
            return 1;
        }
        pollfd entry{connection.fd(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 200))) <= 0) {
            continue;
        }
        ssize_t n = connection.receive(buffer, sizeof buffer);
        if (n <= 0) {
            std::fprintf(stderr, "benchctl: benchd closed the connection\n");
            return 1;
        }
        stream.feed(buffer, static_cast<std::size_t>(n));
        std::string message;
        while (stream.next(message)) {
            if (std::optional<int> status = take(message)) {
                return *status;
            }
        }
    }
    return 1;
}

int status(const CtlConfig& config) {
    ClientConnection connection;
    if (!connectTo(config, connection)) {
        return 1;
    }
    if (!connection.sendAll("status;")) {
        std::fprintf(stderr, "benchctl: cannot send to benchd\n");
        return 1;
    }
    char timedOut[256];
    std::snprintf(timedOut, sizeof timedOut,
                  "no status from benchd within %g s (is %s:%u its monitor port?)", config.timeout,
                  config.host.c_str(), config.port);
    StatusBlock block;
    return untilMessage(connection, config.timeout, timedOut,
                        [&block](const std::string& message) -> std::optional<int> {
                            if (MonitorFilter::keyOf(message) == "monitor_error") {
                                std::fprintf(stderr, "benchctl: benchd: %s\n",
                                             message.substr(message.find(':') + 1).c_str());
                            } else if (block.add(message)) {
                                std::fputs(block.format().c_str(), stdout);
                                return 0;
                            }
                            return std::nullopt;
                        });
}

int send(const CtlConfig& config) {
    ClientConnection connection;
    if (!connectTo(config, connection)) {
        return 1;
    }
    std::string text;
    for (const std::string& message : config.args) {
        text += message;
        if (message.back() != ';') {
            text += ';';
        }
    }
    if (!connection.sendAll(text)) {
        std::fprintf(stderr, "benchctl: cannot send to benchd\n");
        return 1;
    }
    connection.finish(std::chrono::milliseconds(1000));
    return 0;
}

int chart(const CtlConfig& config) {
    ClientConnection connection;
    if (!connectTo(config, connection)) {
        return 1;
    }
    char timedOut[64];
    std::snprintf(timedOut, sizeof timedOut, "no chart %d within %g s", config.chart,
                  config.timeout);
    return untilMessage(connection, config.timeout, timedOut,
                        [&config](const std::string& message) -> std::optional<int> {
                            std::vector<double> values;
                            if (!ChartMessage::parse(message, config.chart, values)) {
                                return std::nullopt;
                            }
                            std::string title = ChartMessage::keyFor(config.chart) + " (" +
                                                std::to_string(values.size()) + " points)";
                            std::ofstream out(config.svgPath, std::ios::binary | std::ios::trunc);
                            out << SvgChart::render(title, values);
                            out.close();
                            if (!out) {
                                std::fprintf(stderr, "benchctl: cannot write %s\n",
                                             config.svgPath.c_str());
                                return 1;
                            }
                            std::printf("benchctl: chart %d, %zu points, written to %s\n",
                                        config.chart, values.size(), config.svgPath.c_str());
                            return 0;
                        });
}

int web(const CtlConfig& config) {
    WebServer server(config);
    std::string error;
    if (!server.bind(error)) {
        std::fprintf(stderr, "benchctl: %s\n", error.c_str());
        return 1;
    }
    const std::string host = config.listenHost.find(':') != std::string::npos
                                 ? "[" + config.listenHost + "]"
                                 : config.listenHost;
    std::printf("benchctl: serving http://%s:%u/ (watching benchd at %s:%u)\n", host.c_str(),
                server.port(), config.host.c_str(), config.port);
    return server.run(stopRequested);
}

}  // namespace

int main(int argc, char** argv) {
    CtlConfig config;
    std::string error;
    if (!CtlOptions::parse(std::vector<std::string>(argv + 1, argv + argc), config, error)) {
        std::fprintf(stderr, "benchctl: %s\nTry 'benchctl --help'.\n", error.c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(CtlOptions::usage().c_str(), stdout);
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (config.command == "monitor") {
        return monitor(config);
    }
    if (config.command == "status") {
        return status(config);
    }
    if (config.command == "top") {
        return TopCommand::run(config, stopRequested);
    }
    if (config.command == "send") {
        return send(config);
    }
    if (config.command == "web") {
        return web(config);
    }
    return chart(config);
}
