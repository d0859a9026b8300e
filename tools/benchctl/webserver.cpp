#include "webserver.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "monitorlink.h"
#include "webpage.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds TICK{20};
// How long a viewer's worker waits for events before it writes a keep-alive comment: writing
// is how a browser that went away is noticed, and its place given back.
constexpr milliseconds IDLE_EVERY{1000};
// HTTP workers besides the viewers' ones: the page, its assets and the JSON requests.
constexpr std::size_t SPARE_WORKERS = 8;

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "bench";
    }
    return name;
}

void noStore(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

WebServer::WebServer(const CtlConfig& config)
    : config_(config),
      http_(std::make_unique<httplib::Server>()),
      model_(hostName(), config.host + ":" + std::to_string(config.port)) {
    const std::size_t workers = config_.maxViewers + SPARE_WORKERS;
    http_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    http_->set_write_timeout(WRITE_TIMEOUT_SECONDS, 0);
    http_->set_read_timeout(10, 0);
    http_->set_keep_alive_timeout(2);
    http_->set_payload_max_length(64 * 1024);
    // The library's default adds SO_REUSEPORT, which would let a second benchctl web share the
    // port and take half the browsers: a port in use must be an error.
    http_->set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    routes();
}

WebServer::~WebServer() = default;

bool WebServer::bind(std::string& error) {
    // A name that does not resolve gets the resolver's words, not a stale errno.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(config_.listenHost.c_str(), nullptr, &hints, &found);
    if (resolved != 0) {
        error = "cannot listen on " + config_.listenHost + ":" +
                std::to_string(config_.listenPort) + ": " + ::gai_strerror(resolved);
        return false;
    }
    ::freeaddrinfo(found);
    errno = 0;
    int port =
        config_.listenPort == 0
            ? http_->bind_to_any_port(config_.listenHost)
            : (http_->bind_to_port(config_.listenHost, config_.listenPort) ? config_.listenPort
                                                                           : -1);
    if (port <= 0) {
        error = "cannot listen on " + config_.listenHost + ":" +
                std::to_string(config_.listenPort) +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    port_ = static_cast<uint16_t>(port);
    return true;
}

void WebServer::routes() {
    // Read-only: nothing a browser sends can reach the daemon.
    http_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "GET" || req.method == "HEAD") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        res.set_content("405 method not allowed: this page is read-only\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) {
            res.set_content(std::to_string(res.status) + " " +
                                (res.status == 404 ? "not found" : "error") + "\n",
                            "text/plain");
        }
    });

    http_->Get("/", [](const httplib::Request&, httplib::Response& res) {
        noStore(res);
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; base-uri 'none'; "
                       "form-action 'none'; frame-ancestors 'none'");
        res.set_content(WebPage::html(), "text/html; charset=utf-8");
    });
    http_->Get("/page.css", [](const httplib::Request&, httplib::Response& res) {
        noStore(res);
        res.set_content(WebPage::css(), "text/css; charset=utf-8");
    });
    http_->Get("/page.js", [](const httplib::Request&, httplib::Response& res) {
        noStore(res);
        res.set_content(WebPage::js(), "text/javascript; charset=utf-8");
    });
    http_->Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        noStore(res);
        res.set_content(statusJson(), "application/json");
    });
    http_->Get("/api/values", [this](const httplib::Request&, httplib::Response& res) {
        noStore(res);
        res.set_content(valuesJson(), "application/json");
    });

    http_->Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
        noStore(res);
        if (++viewerCount_ > config_.maxViewers) {
            --viewerCount_;
            res.status = 503;
            res.set_header("Retry-After", "10");
            res.set_content("503 too many viewers (" + std::to_string(config_.maxViewers) +
                                "); try again later\n",
                            "text/plain");
            return;
        }
        if (req.method == "HEAD") {
            --viewerCount_;
            res.set_header("Content-Type", "text/event-stream");
            return;
        }
        auto queue = std::make_shared<ViewerQueue>();
        {
            MutexLock lock(viewersMutex_);
            viewers_.insert(queue);
        }
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, queue, first = true](std::size_t, httplib::DataSink& sink) mutable {
                std::string out;
                if (first) {
                    out = "retry: 2000\n\n";  // how soon a browser comes back after a break
                    first = false;
                }
                std::string events;
                unsigned long lost = 0;
                switch (queue->take(events, lost, Clock::now() + IDLE_EVERY)) {
                    case ViewerQueue::Take::Closed:
                        return false;
                    case ViewerQueue::Take::Idle:
                        out += ": idle\n\n";
                        break;
                    case ViewerQueue::Take::Events:
                        out += events;
                        break;
                    case ViewerQueue::Take::Fresh: {
                        if (lost > 0) {
                            out += WebModel::Event{"lost", "{\"events\":" + std::to_string(lost) +
                                                               ",\"total\":" +
                                                               std::to_string(queue->lost()) + "}"}
                                       .sse();
                        }
                        MutexLock lock(modelMutex_);
                        refreshCounts();  // this viewer included
                        out += model_.snapshot(Clock::now()).sse();
                        queue->refreshed();
                        break;
                    }
                }
                if (stopping_.load()) {
                    return false;
                }
                return sink.write(out.data(), out.size());
            },
            [this, queue](bool) {
                queue->close();
                MutexLock lock(viewersMutex_);
                retiredLost_ += queue->lost();
                viewers_.erase(queue);
                --viewerCount_;
            });
    });
}

void WebServer::broadcast(const std::vector<WebModel::Event>& events) {
    if (events.empty()) {
        return;
    }
    MutexLock lock(viewersMutex_);
    for (const WebModel::Event& event : events) {
        const std::string text = event.sse();
        for (const std::shared_ptr<ViewerQueue>& viewer : viewers_) {
            viewer->push(text);
        }
    }
}

void WebServer::refreshCounts() {
    MutexLock lock(viewersMutex_);
    unsigned long lost = retiredLost_;
    for (const std::shared_ptr<ViewerQueue>& viewer : viewers_) {
        lost += viewer->lost();
    }
    model_.setViewers(viewers_.size(), config_.maxViewers, lost);
}

std::string WebServer::statusJson() {
    MutexLock lock(modelMutex_);
    refreshCounts();
    return WebModel::dump(model_.status(Clock::now())) + "\n";
}

std::string WebServer::valuesJson() {
    MutexLock lock(modelMutex_);
    return WebModel::dump(model_.values(true)) + "\n";
}

void WebServer::observe() {
    MonitorLink link(config_.host, config_.port);
    bool everTried = false;
    std::string lastReason;
    std::vector<WebModel::Event> events;

    auto tell = [&](const std::string& reason) {
        lastReason = reason;
        MutexLock lock(modelMutex_);
        events.clear();
        model_.disconnected(reason, std::chrono::system_clock::now(), events);
        broadcast(events);
    };
    auto lose = [&](const std::string& reason) {
        link.lose();
        tell(reason);
    };

    while (!stopping_.load()) {
        auto now = Clock::now();
        std::string error;
        switch (link.tryConnect(now, error)) {
            case MonitorLink::Attempt::CONNECTED: {
                everTried = true;
                MutexLock lock(modelMutex_);
                events.clear();
                model_.connected(events);
                broadcast(events);
                break;
            }
            case MonitorLink::Attempt::FAILED:
                // The banner changes with the reason; the same failure again is not news.
                if (!everTried || error != lastReason) {
                    tell(error);
                }
                everTried = true;
                break;
            case MonitorLink::Attempt::NONE:
                break;
        }
        if (link.statusDue(now) && !link.send("status;")) {
            lose("cannot send to benchd");
        }

        const bool up = link.up();
        pollfd entry{link.fd(), POLLIN, 0};
        if (up) {
            ::poll(&entry, 1, static_cast<int>(TICK.count()));
        } else {
            ::poll(nullptr, 0, static_cast<int>(TICK.count()));
        }
        if (up && (entry.revents & (POLLIN | POLLHUP | POLLERR))) {
            std::string reason;
            if (!link.read(reason)) {
                lose(reason.empty() ? "benchd closed the connection" : reason);
            }
        }
        MutexLock lock(modelMutex_);
        refreshCounts();
        events.clear();
        std::string message;
        const auto arrived = Clock::now();
        while (link.next(message)) {
            model_.onMessage(message, arrived, events);
        }
        model_.tick(arrived, events);
        broadcast(events);
    }
}

int WebServer::run(const std::atomic<bool>& stop) {
    std::thread listener([this] { http_->listen_after_bind(); });
    std::thread observer([this] { observe(); });
    while (!stop.load()) {
        ::poll(nullptr, 0, 100);
    }
    stopping_.store(true);
    {
        MutexLock lock(viewersMutex_);
        for (const std::shared_ptr<ViewerQueue>& viewer : viewers_) {
            viewer->close();
        }
    }
    http_->stop();
    listener.join();
    observer.join();
    return 0;
}
