#include "mqttlog.h"

#include <mosquitto.h>

#include <stdexcept>

namespace chaos {

MqttLog::MqttLog(RunLog& log, uint16_t port, std::string filter)
    : log_(log), filter_(std::move(filter)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) {
        throw std::runtime_error("mosquitto_new failed");
    }
    mosquitto_connect_callback_set(client_, connected);
    mosquitto_disconnect_callback_set(client_, disconnected);
    mosquitto_subscribe_callback_set(client_, subscribed);
    mosquitto_message_callback_set(client_, received);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_async(client_, "127.0.0.1", port, 5);
    mosquitto_loop_start(client_);
}

MqttLog::~MqttLog() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void MqttLog::connected(mosquitto* client, void* self, int rc) {
    auto* log = static_cast<MqttLog*>(self);
    log->log_.line("mqtt connect " + std::to_string(rc));
    if (rc == 0) {
        mosquitto_subscribe(client, nullptr, log->filter_.c_str(), 1);
    }
}

void MqttLog::disconnected(mosquitto*, void* self, int rc) {
    static_cast<MqttLog*>(self)->log_.line("mqtt disconnect " + std::to_string(rc));
}

void MqttLog::subscribed(mosquitto*, void* self, int, int, const int*) {
    static_cast<MqttLog*>(self)->log_.line("mqtt subscribed");
}

void MqttLog::received(mosquitto*, void* self, const mosquitto_message* message) {
    std::string payload(static_cast<const char*>(message->payload),
                        static_cast<std::size_t>(message->payloadlen));
    static_cast<MqttLog*>(self)->log_.line(std::string("mqtt ") +
                                           (message->retain ? "retained " : "msg ") +
                                           message->topic + " " + payload);
}

}  // namespace chaos
