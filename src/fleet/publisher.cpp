#include "fleet/publisher.h"

#include <mosquitto.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "service/console.h"
#include "service/consolethrottle.h"

namespace {

// The publisher's threads yield to the data path's, like the monitor's.
constexpr int PUBLISHER_NICE = 10;
constexpr int KEEPALIVE_SECONDS = 10;
// Without a first connection by then, the console says so once.
constexpr std::chrono::seconds FIRST_CONNECT_GRACE{5};

void lowerPriority() {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), PUBLISHER_NICE);
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// "crc failures" -> "crc_failures": keys a dashboard's expressions can name.
std::string jsonKey(const char* name) {
    std::string key = name;
    for (char& c : key) {
        if (c == ' ') {
            c = '_';
        }
    }
    return jsonString(key);
}

// A client message's key as one topic level: the wildcards and '/' become '_'.
std::string topicLevel(std::string key) {
    for (char& c : key) {
        if (c == '+' || c == '#' || c == '/' || c == '\0') {
            c = '_';
        }
    }
    return key.empty() ? "_" : key;
}

// What a board's retained message changes on at once; the counters go with the refresh.
std::string identityOf(const PortStatus& port) {
    return std::to_string(port.device) + (port.identified ? "i" : "u") +
           (port.lowLatency ? "l" : "n");
}

}  // namespace

FleetPublisher::FleetPublisher(FleetConfig config, std::function<std::string()> clientAddress)
    : config_(std::move(config)),
      base_(config_.base()),
      clientAddress_(std::move(clientAddress)),
      started_(std::chrono::steady_clock::now()) {}

FleetPublisher::~FleetPublisher() {
    stop();
}

std::string FleetPublisher::where() const {
    return config_.host + ":" + std::to_string(config_.port);
}

std::string FleetPublisher::boardPayload(const PortStatus& port) {
    std::string json = "{\"port\":" + jsonString(port.name) +
                       ",\"device\":" + (port.identified ? std::to_string(port.device) : "null") +
                       ",\"identified\":" + (port.identified ? "true" : "false") +
                       ",\"low_latency\":" + (port.lowLatency ? "true" : "false") +
                       ",\"counters\":{";
    const char* separator = "";
    for (const auto& figure : port.counters) {
        json += separator + jsonKey(figure.first) + ":" + std::to_string(figure.second);
        separator = ",";
    }
    return json + "}}";
}

std::string FleetPublisher::statusPayload(long uptimeSeconds, const std::string& client,
                                          uint64_t telemetryDropped) {
    return std::string("{\"version\":") + jsonString(BENCHD_VERSION) +
           ",\"uptime\":" + std::to_string(uptimeSeconds) +
           ",\"client_connected\":" + (client.empty() ? "false" : "true") +
           ",\"client\":" + jsonString(client) +
           ",\"telemetry_dropped\":" + std::to_string(telemetryDropped) + "}";
}

bool FleetPublisher::start() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    const std::string id = "benchd-" + config_.bench + "-" + std::to_string(::getpid());
    client_ = mosquitto_new(id.c_str(), true, this);
    if (client_ == nullptr) {
        console::out("MQTT: cannot make the client; no fleet telemetry");
        return false;
    }
    mosquitto_connect_callback_set(client_, connectCallback);
    mosquitto_disconnect_callback_set(client_, disconnectCallback);
    mosquitto_publish_callback_set(client_, publishCallback);
    mosquitto_reconnect_delay_set(client_, 1, 30, true);
    const std::string online = base_ + "online";
    int rc = mosquitto_will_set(client_, online.c_str(), 1, "0", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.user.empty()) {
        rc = mosquitto_username_pw_set(
            client_, config_.user.c_str(),
            config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        rc = mosquitto_tls_set(client_, config_.caFile.empty() ? nullptr : config_.caFile.c_str(),
                               config_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                               nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        console::out(std::string("MQTT: cannot set up the client: ") + mosquitto_strerror(rc) +
                     "; no fleet telemetry");
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    // A broker not there yet is no failure: libmosquitto's thread keeps trying, backing off
    // from 1 s to 30 s.
    rc = mosquitto_connect_async(client_, config_.host.c_str(), config_.port, KEEPALIVE_SECONDS);
    if (rc != MOSQ_ERR_SUCCESS) {
        consoleThrottle().print("mqtt-lost", "MQTT broker " + where() + " not reached: " +
                                                 (rc == MOSQ_ERR_ERRNO ? std::strerror(errno)
                                                                       : mosquitto_strerror(rc)) +
                                                 "; telemetry is dropped until it is");
    }
    rc = mosquitto_loop_start(client_);
    if (rc != MOSQ_ERR_SUCCESS) {
        console::out(std::string("MQTT: cannot start the network thread: ") +
                     mosquitto_strerror(rc) + "; no fleet telemetry");
        mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    loopStarted_ = true;
    telemetry_.enable(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void FleetPublisher::stop() {
    waker_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    telemetry_.enable(false);
    if (client_ == nullptr) {
        return;
    }
    if (connected_.load()) {
        // A clean disconnect sends no will: the daemon says it is gone itself.
        publish(base_ + "online", "0", 1, true);
    }
    mosquitto_disconnect(client_);
    if (loopStarted_) {
        mosquitto_loop_stop(client_, false);
    }
    mosquitto_destroy(client_);
    client_ = nullptr;
    console::out("MQTT: " + std::to_string(telemetrySent_) + " telemetry messages published, " +
                 std::to_string(telemetryDropped_) + " dropped");
}

void FleetPublisher::connectCallback(mosquitto*, void* self, int rc) {
    static_cast<FleetPublisher*>(self)->onConnect(rc);
}

void FleetPublisher::disconnectCallback(mosquitto*, void* self, int rc) {
    static_cast<FleetPublisher*>(self)->onDisconnect(rc);
}

void FleetPublisher::publishCallback(mosquitto*, void* self, int) {
    static_cast<FleetPublisher*>(self)->unsent_.fetch_sub(1);
}

void FleetPublisher::onConnect(int rc) {
    thread_local bool lowered = false;
    if (!lowered) {
        lowerPriority();
        lowered = true;
    }
    if (rc != 0) {
        refusal_.store(rc);
        waker_.wake();
        return;
    }
    // What was queued on the last connection and never written went with it.
    unsent_.store(0);
    connected_.store(true);
    connections_.fetch_add(1);
    waker_.wake();
}

void FleetPublisher::onDisconnect(int rc) {
    lastDisconnect_.store(rc);
    connected_.store(false);
    waker_.wake();
}

bool FleetPublisher::publish(const std::string& topic, const std::string& payload, int qos,
                             bool retain) {
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        return false;
    }
    unsent_.fetch_add(1);
    return true;
}

void FleetPublisher::run() {
    lowerPriority();
    bool saidUnreached = false;
    while (waker_.idle(TICK)) {
        const auto now = std::chrono::steady_clock::now();
        const bool connected = connected_.load();
        const uint64_t connections = connections_.load();
        if (connected && connections != seenConnections_) {
            if (seenConnections_ == 0) {
                console::out("MQTT: publishing to " + where() + " under " + base_);
            } else {
                consoleThrottle().print("mqtt-back", "MQTT broker " + where() + " is back; " +
                                                         std::to_string(droppedWhileAway_) +
                                                         " telemetry messages dropped while away");
            }
            seenConnections_ = connections;
            wasConnected_ = true;
            droppedWhileAway_ = 0;
            // The broker may have lost every retained message: all of them again.
            publish(base_ + "online", "1", 1, true);
            publishState(true);
        } else if (!connected && wasConnected_) {
            wasConnected_ = false;
            consoleThrottle().print("mqtt-lost", "MQTT broker " + where() + " lost (" +
                                                     mosquitto_strerror(lastDisconnect_.load()) +
                                                     "); telemetry is dropped until it is back");
        } else if (!connected && seenConnections_ == 0 && !saidUnreached &&
                   now - started_ >= FIRST_CONNECT_GRACE) {
            saidUnreached = true;
            consoleThrottle().print("mqtt-lost", "MQTT broker " + where() +
                                                     " not reached yet; telemetry is dropped "
                                                     "until it is");
        }
        const int refused = refusal_.exchange(0);
        if (refused != 0) {
            consoleThrottle().print("mqtt-refused", "MQTT broker " + where() +
                                                        " refused the connection: " +
                                                        mosquitto_connack_string(refused));
        }
        publishTelemetry();
        if (now - lastScan_ >= PORT_SCAN) {
            lastScan_ = now;
            publishState(false);
        }
    }
}

void FleetPublisher::publishTelemetry() {
    uint64_t lost = 0;
    telemetry_.take(scratch_, lost);
    // Lost at the queue's bound: the publisher fell behind, not the broker.
    telemetryDropped_ += lost;
    for (const SharedMessage& shared : scratch_) {
        const std::string& message = *shared;
        if (!connected_.load() || unsent_.load() >= static_cast<int64_t>(UNSENT_LIMIT)) {
            ++telemetryDropped_;
            ++droppedWhileAway_;
            continue;
        }
        const std::size_t colon = message.find(':');
        const std::size_t end =
            !message.empty() && message.back() == ';' ? message.size() - 1 : message.size();
        const std::string key = message.substr(0, std::min(colon, end));
        const std::string value = colon == std::string::npos || colon >= end
                                      ? ""
                                      : message.substr(colon + 1, end - colon - 1);
        if (publish(base_ + "telemetry/" + topicLevel(key), value, 0, false)) {
            ++telemetrySent_;
        } else {
            ++telemetryDropped_;
            ++droppedWhileAway_;
        }
    }
    scratch_.clear();
}

void FleetPublisher::publishState(bool all) {
    const auto now = std::chrono::steady_clock::now();
    const bool connected = connected_.load();
    all = all || now - lastRefresh_ >= REFRESH;
    const std::vector<PortStatus> ports = portStatuses();
    // Ports gone: their retained message is cleared, now or once the broker is back.
    for (auto it = boards_.begin(); it != boards_.end();) {
        bool present = false;
        for (const PortStatus& port : ports) {
            present = present || port.name == it->first;
        }
        if (present) {
            ++it;
            continue;
        }
        if (!connected || !publish(base_ + "boards/" + it->first, "", 1, true)) {
            goneWhileAway_.insert(it->first);
        }
        it = boards_.erase(it);
    }
    if (!connected) {
        return;
    }
    if (all) {
        for (auto it = goneWhileAway_.begin(); it != goneWhileAway_.end();) {
            const bool back = boards_.count(*it) != 0;
            if (back || publish(base_ + "boards/" + *it, "", 1, true)) {
                it = goneWhileAway_.erase(it);
            } else {
                ++it;
            }
        }
        lastRefresh_ = now;
    }
    for (const PortStatus& port : ports) {
        const std::string identity = identityOf(port);
        auto known = boards_.find(port.name);
        if (!all && known != boards_.end() && known->second == identity) {
            continue;
        }
        if (publish(base_ + "boards/" + port.name, boardPayload(port), 1, true)) {
            boards_[port.name] = identity;
            goneWhileAway_.erase(port.name);
        }
    }
    const std::string client = clientAddress_ ? clientAddress_() : "";
    if (all || !statusPublished_ || client != lastClient_) {
        const auto uptime =
            std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
        statusPublished_ =
            publish(base_ + "status",
                    statusPayload(static_cast<long>(uptime), client, telemetryDropped_), 1, true);
        lastClient_ = client;
    }
}
