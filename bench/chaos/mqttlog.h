// An MQTT subscriber that logs every message it receives, and its own connections, with times:
// what a workshop's dashboard would have seen of the run.
#pragma once

#include <cstdint>
#include <string>

#include "runlog.h"

struct mosquitto;
struct mosquitto_message;

namespace chaos {

class MqttLog {
public:
    // Subscribes to `filter` at 127.0.0.1:port, reconnecting (every 0.1 to 0.5 s) when the
    // broker goes away.
    MqttLog(RunLog& log, uint16_t port, std::string filter);
    ~MqttLog();
    MqttLog(const MqttLog&) = delete;
    MqttLog& operator=(const MqttLog&) = delete;

private:
    static void connected(mosquitto* client, void* self, int rc);
    static void disconnected(mosquitto* client, void* self, int rc);
    static void subscribed(mosquitto* client, void* self, int mid, int count, const int* qos);
    static void received(mosquitto* client, void* self, const mosquitto_message* message);

    RunLog& log_;
    std::string filter_;
    mosquitto* client_ = nullptr;
};

}  // namespace chaos
