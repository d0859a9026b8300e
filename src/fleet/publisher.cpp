#include "fleet/publisher.h"

#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

#include "service/clientmessage.h"
#include "service/console.h"
#include "service/consolethrottle.h"

namespace {

// The publisher's threads yield to the data path's, like the monitor's.
constexpr int PUBLISHER_NICE = 10;
constexpr int KEEPALIVE_SECONDS = 10;
// Without a first connection by then, the console says so once.
constexpr std::chrono::seconds FIRST_CONNECT_GRACE{5};
// Where the system keeps the certificate authorities it trusts (Debian's ca-certificates).
const char* const SYSTEM_AUTHORITIES = "/etc/ssl/certs";
// The shortest turn of the loop while a connection is being made.
constexpr std::chrono::milliseconds HANDSHAKE_STEP{5};
// What a stop gives the last messages and the DISCONNECT to go out.
constexpr std::chrono::milliseconds FLUSH_LIMIT{300};

// The host name a TLS context verifies and announces, kept with the context.
int hostIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Before the ClientHello is written: the broker's name as the server name, in place of the
// address libmosquitto connected to (a broker behind a TLS proxy picks its certificate by it).
void announceName(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0) {
        return;
    }
    auto* connection = const_cast<SSL*>(ssl);
    const auto* host = static_cast<const std::string*>(
        SSL_CTX_get_ex_data(SSL_get_SSL_CTX(connection), hostIndex()));
    if (host != nullptr) {
        SSL_set_tlsext_host_name(connection, host->c_str());
    }
}

// The client's TLS context: the broker's certificate must chain to `caFile` (empty: the
// system's authorities) and name `host`, checked by OpenSSL during the handshake, before a
// byte of MQTT is sent. libmosquitto takes it as it is (MOSQ_OPT_SSL_CTX, without its
// defaults). `host` outlives the context. Null, with `error`, when it cannot be made.
void* makeTlsContext(const std::string& host, const std::string& caFile, std::string& error) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        error = "cannot make the TLS context";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const bool loaded =
        caFile.empty() ? SSL_CTX_load_verify_locations(context, nullptr, SYSTEM_AUTHORITIES) == 1
                       : SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) == 1;
    if (!loaded) {
        error = "cannot load the certificate authority " +
                (caFile.empty() ? std::string(SYSTEM_AUTHORITIES) : caFile);
    } else if (X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1 ||
               SSL_CTX_set_ex_data(context, hostIndex(), const_cast<std::string*>(&host)) != 1) {
        error = "cannot set up the TLS context";
    }
    if (!error.empty()) {
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_info_callback(context, announceName);
    return context;
}

void freeTlsContext(void* handle) {
    auto* context = static_cast<SSL_CTX*>(handle);
    if (context != nullptr) {
        SSL_CTX_free(context);
    }
}

void lowerPriority() {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), PUBLISHER_NICE);
}

// Keys in the order they are set, as the README shows them and dashboards have them.
using Json = nlohmann::ordered_json;

// Compact, as published since the first version. Text that is not UTF-8 (a port's name is any
// bytes) is written with U+FFFD in place of the bad bytes, rather than throwing on the
// publisher's thread or publishing what no JSON reader takes.
std::string dumped(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// "crc failures" -> "crc_failures": keys a dashboard's expressions can name.
std::string jsonKey(const char* name) {
    std::string key = name;
    for (char& c : key) {
        if (c == ' ') {
            c = '_';
        }
    }
    return key;
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
    Json counters = Json::object();
    for (const auto& figure : port.counters) {
        counters[jsonKey(figure.first)] = figure.second;
    }
    Json json;
    json["port"] = port.name;
    json["device"] = port.identified ? Json(static_cast<unsigned>(port.device)) : Json(nullptr);
    json["identified"] = port.identified;
    json["low_latency"] = port.lowLatency;
    json["counters"] = std::move(counters);
    return dumped(json);
}

std::string FleetPublisher::statusPayload(long uptimeSeconds, const std::string& client,
                                          uint64_t telemetryDropped) {
    Json json;
    json["version"] = BENCHD_VERSION;
    json["uptime"] = uptimeSeconds;
    json["client_connected"] = !client.empty();
    json["client"] = client;
    json["telemetry_dropped"] = telemetryDropped;
    return dumped(json);
}

bool FleetPublisher::start() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    if (!config_.warning.empty()) {
        console::out(config_.warning);
    }
    if (config_.tls) {
        std::string error;
        tls_ = makeTlsContext(config_.host, config_.caFile, error);
        if (tls_ == nullptr) {
            console::out("MQTT: " + error + "; no fleet telemetry");
            return false;
        }
    }
    telemetry_.enable(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void FleetPublisher::stop() {
    waker_.stop();
    if (!thread_.joinable()) {
        return;
    }
    thread_.join();
    telemetry_.enable(false);
    // A lookup still out is ended now.
    resolver_.abandon();
    if (client_ != nullptr && connected_) {
        // A clean disconnect sends no will: the daemon says it is gone itself.
        publish(base_ + "online", "0", 1, true);
        mosquitto_disconnect(client_);
        // The last messages and the DISCONNECT go out with the socket's next writes.
        const auto deadline = std::chrono::steady_clock::now() + FLUSH_LIMIT;
        while (mosquitto_socket(client_) != -1 && std::chrono::steady_clock::now() < deadline &&
               mosquitto_loop(client_, 20, 1) == MOSQ_ERR_SUCCESS) {
        }
    }
    dropClient();
    freeTlsContext(tls_);
    tls_ = nullptr;
    console::out("MQTT: " + std::to_string(telemetrySent_) + " telemetry messages published, " +
                 std::to_string(telemetryDropped_) + " dropped");
}

std::string FleetPublisher::reasonOf(int rc, int error) {
    switch (rc) {
        case MOSQ_ERR_KEEPALIVE:
            return "no answer within the keepalive";
        case MOSQ_ERR_ERRNO:
            return error != 0 ? std::strerror(error) : "a system call failed";
        case MOSQ_ERR_CONN_LOST:
            return "the connection was closed";
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_TLS_HANDSHAKE:
            return "TLS handshake failed (not a TLS broker, or its certificate not trusted "
                   "for this name)";
        case MOSQ_ERR_PROTOCOL:
            return "MQTT protocol error";
        default:
            break;
    }
    const std::string text = mosquitto_strerror(rc);
    if (text.empty() || text == "Unknown error.") {
        return "libmosquitto error " + std::to_string(rc);
    }
    // libmosquitto's sentences, as a clause of ours.
    std::string clause = text;
    if (clause.back() == '.') {
        clause.pop_back();
    }
    clause[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(clause[0])));
    return clause;
}

bool FleetPublisher::makeClient() {
    const std::string id = "benchd-" + config_.bench + "-" + std::to_string(::getpid());
    client_ = mosquitto_new(id.c_str(), true, this);
    if (client_ == nullptr) {
        lastFailure_ = "cannot make the MQTT client: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_connect_callback_set(client_, connectCallback);
    mosquitto_disconnect_callback_set(client_, disconnectCallback);
    mosquitto_publish_callback_set(client_, publishCallback);
    const std::string online = base_ + "online";
    int rc = mosquitto_will_set(client_, online.c_str(), 1, "0", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.user.empty()) {
        rc = mosquitto_username_pw_set(
            client_, config_.user.c_str(),
            config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && tls_ != nullptr) {
        // Our context checks the certificate against the host name and sends it as the server
        // name; libmosquitto's own check would compare the certificate with the address.
        rc = mosquitto_void_option(client_, MOSQ_OPT_SSL_CTX, tls_);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_int_option(client_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        lastFailure_ = "cannot set up the MQTT client: " + reasonOf(rc, errno);
        dropClient();
        return false;
    }
    return true;
}

void FleetPublisher::dropClient() {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    connected_ = false;
}

bool FleetPublisher::connectTo(const std::string& address) {
    dropClient();
    if (!makeClient()) {
        return false;
    }
    tcpUp_ = false;
    // An address, not the name: libmosquitto would look the name up again, blocking.
    errno = 0;
    const int rc =
        mosquitto_connect_async(client_, address.c_str(), config_.port, KEEPALIVE_SECONDS);
    // With TLS libmosquitto writes at once; a refusal that came first is only in errno.
    connectErrno_ = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        lastFailure_ = reasonOf(rc, errno);
        dropClient();
        return false;
    }
    return true;
}

void FleetPublisher::tryNext(std::chrono::steady_clock::time_point now) {
    dropClient();
    const std::vector<std::string>& addresses = resolver_.addresses();
    while (nextAddress_ < addresses.size()) {
        if (connectTo(addresses[nextAddress_++])) {
            phase_ = Phase::CONNECTING;
            tryStarted_ = now;
            return;
        }
    }
    phase_ = Phase::WAITING;
    retryAt_ = now + retryPause_;
    retryPause_ = std::min<std::chrono::seconds>(retryPause_ * 2, RETRY_LAST);
}

void FleetPublisher::tryFailed(const std::string& reason,
                               std::chrono::steady_clock::time_point now) {
    lastFailure_ = reason;
    tryNext(now);
}

void FleetPublisher::lost(const std::string& reason, std::chrono::steady_clock::time_point now) {
    if (wasConnected_) {
        wasConnected_ = false;
        consoleThrottle().print("mqtt-lost", "MQTT broker " + where() + " lost (" + reason +
                                                 "); telemetry is dropped until it is back");
    }
    // A broker that was there is tried again after the shortest pause.
    retryPause_ = RETRY_FIRST;
    nextAddress_ = resolver_.addresses().size();
    tryFailed(reason, now);
}

void FleetPublisher::connectCallback(mosquitto*, void* self, int rc) {
    static_cast<FleetPublisher*>(self)->onConnect(rc);
}

void FleetPublisher::disconnectCallback(mosquitto*, void* self, int rc) {
    static_cast<FleetPublisher*>(self)->onDisconnect(rc);
}

void FleetPublisher::publishCallback(mosquitto*, void* self, int) {
    --static_cast<FleetPublisher*>(self)->unsent_;
}

void FleetPublisher::onConnect(int rc) {
    if (rc != 0) {
        refusal_ = rc;
        return;
    }
    // What was queued on the last connection and never written went with it.
    unsent_ = 0;
    lastDisconnect_ = 0;
    connected_ = true;
    ++connections_;
}

void FleetPublisher::onDisconnect(int rc) {
    lastDisconnect_ = rc;
    lastErrno_ = errno;
    connected_ = false;
}

bool FleetPublisher::publish(const std::string& topic, const std::string& payload, int qos,
                             bool retain) {
    if (client_ == nullptr) {
        return false;
    }
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        return false;
    }
    ++unsent_;
    return true;
}

void FleetPublisher::serviceNetwork(std::chrono::milliseconds wait) {
    const auto now = std::chrono::steady_clock::now();
    if (client_ == nullptr || mosquitto_socket(client_) == -1) {
        waker_.idle(wait);
        return;
    }
    const int socket = mosquitto_socket(client_);
    if (phase_ == Phase::CONNECTING && !tcpUp_) {
        // The TCP connection's outcome is read here, before libmosquitto writes to the socket
        // and the reason of a failure (refused, unreachable) is lost in its writes.
        pollfd state{socket, POLLOUT, 0};
        if (::poll(&state, 1, static_cast<int>(wait.count())) != 1) {
            return;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error == 0 && (state.revents & (POLLERR | POLLHUP)) != 0) {
            error = connectErrno_ != 0 ? connectErrno_ : ECONNABORTED;
        }
        if (error != 0) {
            tryFailed(std::strerror(error), now);
            return;
        }
        tcpUp_ = true;
    }
    // libmosquitto waits on the socket itself; a stop is seen within one wait.
    errno = 0;
    int rc = mosquitto_loop(client_, static_cast<int>(wait.count()), 1);
    int error = errno;
    if (rc == MOSQ_ERR_SUCCESS && phase_ == Phase::CONNECTING &&
        std::chrono::steady_clock::now() - now < HANDSHAKE_STEP) {
        // A handshake that comes back at once, again and again, must not spin a core.
        waker_.idle(HANDSHAKE_STEP);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        // libmosquitto does not always see a TCP connection that failed or was reset (with
        // TLS it writes to it again at once, in a loop): the socket says so itself.
        const int fd = mosquitto_socket(client_);
        pollfd state{fd, 0, 0};
        if (fd == -1 || ::poll(&state, 1, 0) != 1 || (state.revents & (POLLERR | POLLHUP)) == 0) {
            return;
        }
        socklen_t length = sizeof error;
        rc = MOSQ_ERR_CONN_LOST;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
            rc = MOSQ_ERR_ERRNO;
        }
    }
    const int refused = refusal_;
    if (phase_ == Phase::CONNECTED) {
        const int reason = lastDisconnect_ != 0 ? lastDisconnect_ : rc;
        lost(reasonOf(reason, lastDisconnect_ != 0 ? lastErrno_ : error), now);
    } else if (refused != 0) {
        tryFailed(std::string("refused: ") + mosquitto_connack_string(refused), now);
    } else {
        tryFailed(reasonOf(rc, error), now);
    }
}

std::string FleetPublisher::progress() const {
    if (!lastFailure_.empty()) {
        return lastFailure_;
    }
    return phase_ == Phase::RESOLVING ? "looking " + config_.host + " up, no answer yet"
                                      : "connecting, no answer yet";
}

void FleetPublisher::advance(std::chrono::steady_clock::time_point now) {
    switch (phase_) {
        case Phase::WAITING:
            if (now < retryAt_) {
                break;
            }
            nextAddress_ = 0;
            phase_ = Phase::RESOLVING;
            // The answer is looked at on the next ticks; a start that fails has no addresses.
            if (resolver_.start(config_.host) == Resolver::State::FAILED) {
                tryFailed("cannot look the name up: " + resolver_.error(), now);
            }
            break;
        case Phase::RESOLVING:
            switch (resolver_.poll()) {
                case Resolver::State::DONE:
                    tryNext(now);  // from the first address
                    break;
                case Resolver::State::FAILED:
                    tryFailed(config_.host + " not found: " + resolver_.error(), now);
                    break;
                default:
                    break;
            }
            break;
        case Phase::CONNECTING:
            if (connected_) {
                phase_ = Phase::CONNECTED;
                retryPause_ = RETRY_FIRST;
            } else if (now - tryStarted_ >= CONNECT_LIMIT) {
                tryFailed("no answer within " + std::to_string(CONNECT_LIMIT.count()) + " s", now);
            }
            break;
        case Phase::CONNECTED:
            if (!connected_) {
                lost(reasonOf(lastDisconnect_, lastErrno_), now);
            }
            break;
    }
}

void FleetPublisher::run() {
    lowerPriority();
    bool saidUnreached = false;
    retryAt_ = started_;
    while (waker_.running()) {
        serviceNetwork(TICK);
        if (!waker_.running()) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        advance(now);
        if (connected_ && connections_ != seenConnections_) {
            if (seenConnections_ == 0) {
                console::out("MQTT: publishing to " + where() + " under " + base_);
            } else {
                consoleThrottle().print("mqtt-back", "MQTT broker " + where() + " is back; " +
                                                         std::to_string(droppedWhileAway_) +
                                                         " telemetry messages dropped while away");
            }
            seenConnections_ = connections_;
            wasConnected_ = true;
            droppedWhileAway_ = 0;
            // The broker may have lost every retained message: all of them again.
            publish(base_ + "online", "1", 1, true);
            publishState(true);
        } else if (!connected_ && seenConnections_ == 0 && !saidUnreached &&
                   now - started_ >= FIRST_CONNECT_GRACE) {
            saidUnreached = true;
            // Said once, under a key of its own: a loss after the first connection must not
            // be taken for its repeat.
            consoleThrottle().print("mqtt-unreached", "MQTT broker " + where() +
                                                          " not reached yet (" + progress() +
                                                          "); telemetry is dropped until it is");
        }
        if (refusal_ != 0) {
            consoleThrottle().print("mqtt-refused", "MQTT broker " + where() +
                                                        " refused the connection: " +
                                                        mosquitto_connack_string(refusal_));
            refusal_ = 0;
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
        if (!connected_ || unsent_ >= static_cast<int64_t>(UNSENT_LIMIT)) {
            ++telemetryDropped_;
            ++droppedWhileAway_;
            continue;
        }
        const ClientMessage parsed = ClientMessage::parse(message);
        if (publish(base_ + "telemetry/" + topicLevel(parsed.key), parsed.value, 0, false)) {
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
    const bool connected = connected_;
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
