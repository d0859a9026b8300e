// benchctl web: a read-only live page of the bench for browsers, fed by the daemon's monitor
// port. Threads: the caller's (run: waits for the stop), the HTTP accept thread, a pool of HTTP
// workers (one per open browser connection, so a live page holds one), and the observer (the
// monitor connection: reads, asks for the status every second, paces values, fans events out).
// Lock order: modelMutex_, then viewersMutex_, then each ViewerQueue's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "ctloptions.h"
#include "service/sync.h"
#include "viewerqueue.h"
#include "webmodel.h"

namespace httplib {
class Server;
}

class WebServer {
public:
    // How long a viewer's socket may refuse bytes before its connection is closed (the browser
    // reconnects by itself once it reads again).
    static constexpr int WRITE_TIMEOUT_SECONDS = 5;

    explicit WebServer(const CtlConfig& config);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Opens the listening socket; false with the reason.
    bool bind(std::string& error);
    // The port bound (the one picked when --listen asked for port 0).
    uint16_t port() const { return port_; }
    // Serves and watches the daemon until `stop`; the exit status.
    int run(const std::atomic<bool>& stop);

private:
    void routes();
    void observe();
    // Hands events to every viewer; with the model locked, so that a new viewer's picture and
    // the events after it never overlap or leave a gap.
    void broadcast(const std::vector<WebModel::Event>& events) REQUIRES(modelMutex_)
        EXCLUDES(viewersMutex_);
    void refreshCounts() REQUIRES(modelMutex_) EXCLUDES(viewersMutex_);
    std::string statusJson() EXCLUDES(modelMutex_);
    std::string valuesJson() EXCLUDES(modelMutex_);

    const CtlConfig config_;
    std::unique_ptr<httplib::Server> http_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> viewerCount_{0};

    Mutex modelMutex_ ACQUIRED_BEFORE(viewersMutex_);
    WebModel model_ GUARDED_BY(modelMutex_);
    Mutex viewersMutex_;
    std::set<std::shared_ptr<ViewerQueue>> viewers_ GUARDED_BY(viewersMutex_);
    unsigned long retiredLost_ GUARDED_BY(viewersMutex_) = 0;  // lost by viewers gone
};
