// Fleet telemetry: the bench's state published to an MQTT broker, read-only. A thread of its
// own has the broker looked up (fleet/resolver.h), connects, takes the outbox's copies of the
// client messages and the ports' status, and drives libmosquitto's network loop itself: nothing of
// the start, the data path or the stop waits on a name server or a broker. The telemetry comes from
// a bounded queue, and while the broker is away it is dropped and counted. Every failed try
// (lookup, TCP, TLS, refusal, an answer that never comes) is followed by a pause, 1 s doubling to
// 30 s. Nothing is subscribed to: nothing received from the broker can reach a board.
//
// Topics under config.base():
//   telemetry/<key>  every client message's value, QoS 0, not retained
//   boards/<port>    the port's status as JSON, retained, QoS 1; an empty retained message
//                    when the port goes away
//   status           version, uptime, the control client, as JSON, retained, QoS 1
//   online           "1" retained while connected; "0" (the will) once the daemon is gone
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "fleet/fleetconfig.h"
#include "fleet/resolver.h"
#include "link/portstatus.h"
#include "service/outbox.h"
#include "service/waker.h"

struct mosquitto;

class FleetPublisher {
public:
    // `clientAddress` says who the control client is ("address:port", empty for none); it is
    // called from the publisher's thread.
    FleetPublisher(FleetConfig config, std::function<std::string()> clientAddress);
    ~FleetPublisher();
    FleetPublisher(const FleetPublisher&) = delete;
    FleetPublisher& operator=(const FleetPublisher&) = delete;

    // Starts the thread, which connects in the background. False, said on the console, when
    // the TLS context cannot be made; the daemon runs on without it.
    bool start();
    // Says "offline" when connected, disconnects and ends the thread within half a second,
    // whatever the name server or the broker do. Idempotent.
    void stop();

    // The bound of messages handed to libmosquitto and not yet written to the broker; beyond
    // it telemetry is dropped and counted.
    static constexpr uint64_t UNSENT_LIMIT = 20000;
    // Every port's and the status's retained message is published again this often.
    static constexpr std::chrono::seconds REFRESH{10};
    // Telemetry is taken and port changes looked for this often.
    static constexpr std::chrono::milliseconds TICK{50};
    static constexpr std::chrono::milliseconds PORT_SCAN{250};
    // Pauses between failed tries.
    static constexpr std::chrono::seconds RETRY_FIRST{1};
    static constexpr std::chrono::seconds RETRY_LAST{30};
    // A try whose TCP connection, TLS handshake or CONNACK has not come by then has failed.
    static constexpr std::chrono::seconds CONNECT_LIMIT{10};

    // The JSON payloads (tests and the README's examples).
    static std::string boardPayload(const PortStatus& port);
    static std::string statusPayload(long uptimeSeconds, const std::string& client,
                                     uint64_t telemetryDropped);

    // What a libmosquitto return code says, in words (`error`: errno with MOSQ_ERR_ERRNO).
    static std::string reasonOf(int rc, int error);

private:
    enum class Phase { WAITING, RESOLVING, CONNECTING, CONNECTED };

    void run();
    // The connection's course: lookup, tries, pauses, losses; said on the console.
    void advance(std::chrono::steady_clock::time_point now);
    // Drives libmosquitto's network loop for up to `wait` while there is a socket.
    void serviceNetwork(std::chrono::milliseconds wait);
    // A fresh client for one try at `address`; false (with lastFailure_) when it cannot.
    bool connectTo(const std::string& address);
    bool makeClient();
    void dropClient();
    // The next address, or when none is left a pause before looking the name up again.
    void tryNext(std::chrono::steady_clock::time_point now);
    // The try failed for `reason`: tryNext().
    void tryFailed(const std::string& reason, std::chrono::steady_clock::time_point now);
    void lost(const std::string& reason, std::chrono::steady_clock::time_point now);
    // Why there is no connection yet: the last try's failure, or what the try waits for.
    std::string progress() const;
    void publishTelemetry();
    // The ports' and the status's retained messages: those that changed, every one when
    // `all`.
    void publishState(bool all);
    bool publish(const std::string& topic, const std::string& payload, int qos, bool retain);
    void onConnect(int rc);
    void onDisconnect(int rc);
    std::string where() const;

    static void connectCallback(mosquitto*, void* self, int rc);
    static void disconnectCallback(mosquitto*, void* self, int rc);
    static void publishCallback(mosquitto*, void* self, int mid);

    const FleetConfig config_;
    const std::string base_;
    // Every client message, from the outbox; enabled while the publisher runs.
    // No wake-up: it is taken on the tick.
    MessageCopies telemetry_{std::numeric_limits<std::size_t>::max()};
    std::function<std::string()> clientAddress_;
    const std::chrono::steady_clock::time_point started_;
    // With mqtts://: the TLS context every client uses, which verifies the broker's
    // certificate against config_.host although the client connects to an address.
    void* tls_ = nullptr;  // SSL_CTX
    Waker waker_;
    std::thread thread_;

    // The publisher's thread only (libmosquitto's callbacks run on it too), then stop()'s
    // once the thread is joined.
    mosquitto* client_ = nullptr;
    Resolver resolver_;
    Phase phase_ = Phase::WAITING;
    std::chrono::steady_clock::time_point retryAt_;     // WAITING: the next lookup
    std::chrono::steady_clock::time_point tryStarted_;  // CONNECTING: since when
    std::chrono::seconds retryPause_{RETRY_FIRST};
    std::size_t nextAddress_ = 0;  // into resolver_.addresses()
    bool tcpUp_ = false;           // CONNECTING: the TCP connection is made
    int connectErrno_ = 0;         // errno as libmosquitto's connect left it
    std::string lastFailure_;      // why the last try failed
    bool connected_ = false;       // CONNACK accepted, not lost since
    uint64_t connections_ = 0;     // successful connections so far
    int lastDisconnect_ = 0;       // the libmosquitto reason of the last loss
    int lastErrno_ = 0;            // errno with it
    int refusal_ = 0;              // the last refusal's return code, 0: none
    // Messages handed to libmosquitto and not yet written (QoS 0) or acknowledged (QoS 1);
    // approximate (zeroed on each connection), enough to bound what libmosquitto holds.
    int64_t unsent_ = 0;
    std::deque<SharedMessage> scratch_;
    uint64_t telemetrySent_ = 0;
    uint64_t telemetryDropped_ = 0;  // since start
    uint64_t droppedWhileAway_ = 0;  // since the broker was lost
    uint64_t seenConnections_ = 0;   // connections_ as last acted on
    bool wasConnected_ = false;
    std::map<std::string, std::string> boards_;  // port -> the identity last published for it
    std::set<std::string> goneWhileAway_;        // ports to clear once back
    std::string lastClient_;
    bool statusPublished_ = false;
    std::chrono::steady_clock::time_point lastRefresh_;
    std::chrono::steady_clock::time_point lastScan_;
};
