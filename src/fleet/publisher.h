// Fleet telemetry: the bench's state published to an MQTT broker, read-only. A thread of its
// own takes the outbox's copies of the client messages and the ports' status and hands them to
// libmosquitto, whose own network thread talks to the broker. Nothing of the data path waits on
// either: the telemetry comes from a bounded queue, and while the broker is away it is dropped
// and counted. Nothing is subscribed to: nothing received from the broker can reach a board.
//
// Topics under config.base():
//   telemetry/<key>  every client message's value, QoS 0, not retained
//   boards/<port>    the port's status as JSON, retained, QoS 1; an empty retained message
//                    when the port goes away
//   status           version, uptime, the control client, as JSON, retained, QoS 1
//   online           "1" retained while connected; "0" (the will) once the daemon is gone
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "client/portstatus.h"
#include "fleet/fleetconfig.h"
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

    // Starts connecting (in the background) and the thread. False, said on the console, when
    // the MQTT client cannot be made (TLS files, memory); the daemon runs on without it.
    bool start();
    // Says "offline", disconnects and ends both threads within about a second. Idempotent.
    void stop();

    // The bound of messages handed to libmosquitto and not yet written to the broker; beyond
    // it telemetry is dropped and counted.
    static constexpr uint64_t UNSENT_LIMIT = 20000;
    // Every port's and the status's retained message is published again this often.
    static constexpr std::chrono::seconds REFRESH{10};
    // Telemetry is taken and port changes looked for this often.
    static constexpr std::chrono::milliseconds TICK{50};
    static constexpr std::chrono::milliseconds PORT_SCAN{250};

    // The JSON payloads (tests and the README's examples).
    static std::string boardPayload(const PortStatus& port);
    static std::string statusPayload(long uptimeSeconds, const std::string& client,
                                     uint64_t telemetryDropped);

private:
    void run();
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
    mosquitto* client_ = nullptr;
    bool loopStarted_ = false;
    Waker waker_;
    std::thread thread_;

    // Set by libmosquitto's thread, read by ours.
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connections_{0};  // successful connections so far
    std::atomic<int> lastDisconnect_{0};    // the reason of the last loss
    std::atomic<int> refusal_{0};           // the last refusal's return code, 0: none
    // Messages handed to libmosquitto and not yet written (QoS 0) or acknowledged (QoS 1);
    // approximate (zeroed on each connection), enough to bound what libmosquitto holds.
    std::atomic<int64_t> unsent_{0};

    // The publisher's thread only.
    std::deque<SharedMessage> scratch_;
    uint64_t telemetrySent_ = 0;
    uint64_t telemetryDropped_ = 0;  // since start
    uint64_t droppedWhileAway_ = 0;  // since the broker was lost
    uint64_t seenConnections_ = 0;   // connections_ as last acted on
    bool wasConnected_ = false;
    std::map<std::string, std::string> boards_;  // port -> the payload the broker holds
    std::set<std::string> goneWhileAway_;        // ports to clear once back
    std::string lastClient_;
    bool statusPublished_ = false;
    std::chrono::steady_clock::time_point lastRefresh_;
    std::chrono::steady_clock::time_point lastScan_;
};
