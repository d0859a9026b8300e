#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/boards.h"
#include "capture/recorder.h"
#include "client/addressfilter.h"
#include "client/failsafe.h"
#include "client/monitorserver.h"
#include "client/servicestatus.h"
#include "client/tcpserver.h"
#include "daemon/options.h"
#include "fleet/publisher.h"
#include "link/serialwatcher.h"
#include "protocol/bytes.h"
#include "service/console.h"
#include "service/notifier.h"
#include "service/runstate.h"
#include "service/stopsignals.h"

namespace {

// The watcher prints the counters on its next pass; nothing else is safe here.
void requestCounters(int) {
    countersRequested.store(true);
}

// The capture's writer reopens its file on its next pass (logrotate moved it away).
void requestCaptureReopen(int) {
    capture::requestReopen();
}

// A stop has two seconds in all: the boards' acknowledgements of the safe state get one, the
// console what is left at the end.
constexpr std::chrono::milliseconds SAFE_STATE_WAIT{1000};
constexpr std::chrono::milliseconds CONSOLE_WAIT{300};

// The networks as options give them, checked already.
AddressFilter filterOf(const std::vector<std::string>& networks) {
    AddressFilter filter;
    for (const std::string& network : networks) {
        filter.add(network);
    }
    return filter;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of our standard output or error that goes away (benchd | head -1) must not end
    // the daemon: the console drops what it can no longer write. The client's socket is
    // written with MSG_NOSIGNAL anyway.
    ::signal(SIGPIPE, SIG_IGN);

    const ParsedOptions parsed = parseOptions(argc, argv);
    if (!parsed.run) {
        std::fputs(parsed.text.c_str(), parsed.status == 0 ? stdout : stderr);
        return parsed.status;
    }
    const Options& options = parsed.options;

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
    TcpServer server(options.port, options.bindAddress);
    server.setAllowed(filterOf(options.allow));
    if (!server.listen()) {
        console::drain();
        return 1;
    }
    if (options.port == 0) {
        // The system picked the port: whoever started the daemon needs to know which.
        console::out("Listening on port " + std::to_string(server.port()));
    }
    // Capture: started before the first port opens, stopped after the last one closed.
    std::unique_ptr<capture::Recorder> recorder;
    if (!options.capture.path.empty()) {
        recorder = std::make_unique<capture::Recorder>(options.capture);
        recorder->start();
        capture::setActive(recorder.get());
        struct sigaction reopen {};
        reopen.sa_handler = requestCaptureReopen;
        sigemptyset(&reopen.sa_mask);
        reopen.sa_flags = SA_RESTART;
        ::sigaction(SIGHUP, &reopen, nullptr);
    }

    FailSafe failSafe{std::chrono::seconds(options.failsafe)};
    server.setClientHook([&failSafe](bool connected) { failSafe.clientChanged(connected); });
    {
        // Observers are a convenience: a monitor port that cannot be bound is said, not fatal.
        MonitorServer monitor(options.monitor, [&server] { return server.clientAddress(); });
        if (!options.allow.empty() || !options.monitor.allow.empty()) {
            monitor.setControlRefused([&server] { return server.refused(); });
        }
        monitor.start();
        // Fleet telemetry: the bench's state published to an MQTT broker, only with --mqtt.
        std::unique_ptr<FleetPublisher> fleet;
        if (options.fleet.enabled) {
            fleet = std::make_unique<FleetPublisher>(options.fleet,
                                                     [&server] { return server.clientAddress(); });
            fleet->start();
        }
        SerialWatcher watcher(options.devDir, {options.ports, options.ignore}, &benchBoards());
        watcher.start();
        Notifier notifier([&failSafe] { return serviceStatus(failSafe.clientConnected()); });
        notifier.ready();
        StopSignals stopSignals([&server] { server.stop(); });
        server.connect();

        // Stopped by SIGTERM or SIGINT: no new client, no observer, the boards in their safe
        // state if asked for, then the watcher retires every channel as it goes.
        notifier.stopping();
        server.close();
        monitor.stop();
        failSafe.stopping(SAFE_STATE_WAIT);
        if (fleet) {
            fleet->stop();  // "offline", while the boards' last state is still retained
        }
    }
    capture::setActive(nullptr);
    if (recorder) {
        recorder->stop();
    }
    console::drain(CONSOLE_WAIT);
    return 0;
}
