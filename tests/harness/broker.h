// An MQTT broker of its own for a test or a benchmark, and a subscriber that keeps what it
// receives. The broker is the system's mosquitto on a free loopback port, with a configuration
// file written for it (anonymous clients, or the users given; nothing persisted).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace harness {

using namespace std::chrono_literals;

class Broker {
public:
    // `users`: (name, password) pairs; when given, only they may connect. `tlsName`: when
    // given, the broker speaks only TLS, with a certificate for that name signed by a
    // certificate authority of its own (caFile()), both made with the openssl tool.
    explicit Broker(std::vector<std::pair<std::string, std::string>> users = {},
                    const std::string& tlsName = "");
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Started and accepting once constructed (throws std::runtime_error otherwise).
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string caFile() const { return dir_ + "/ca.crt"; }
    // Stops the broker (SIGTERM, then SIGKILL) and waits for it; start() brings it back on the
    // same port, empty, and returns once it accepts.
    void stop();
    bool start();

private:
    bool startOn(uint16_t port);
    std::string dir_;
    std::string listenerSettings_;  // after the listener line: its TLS files
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

class Subscriber {
public:
    struct Message {
        std::string payload;
        bool retained;
    };
    // Connects to 127.0.0.1:port (its own network thread) and subscribes to `filter`.
    Subscriber(uint16_t port, const std::string& filter, const std::string& user = "",
               const std::string& password = "");
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // The messages received on `topic` so far, oldest first.
    std::vector<Message> on(const std::string& topic) const;
    // Every topic's messages.
    std::map<std::string, std::vector<Message>> all() const;
    std::size_t total() const;
    // Polls until `pred` holds over everything received (the lock held), or the timeout.
    bool waitUntil(
        const std::function<bool(const std::map<std::string, std::vector<Message>>&)>& pred,
        std::chrono::milliseconds timeout = 10000ms) const;
    // Until the latest message on `topic` is `payload`.
    bool waitForLatest(const std::string& topic, const std::string& payload,
                       std::chrono::milliseconds timeout = 10000ms) const;

private:
    static void received(mosquitto*, void* self, const mosquitto_message* message);
    static void connected(mosquitto*, void* self, int rc);
    std::string filter_;
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Message>> messages_;  // guarded by mutex_
    std::size_t total_ = 0;                                 // guarded by mutex_
};

}  // namespace harness
