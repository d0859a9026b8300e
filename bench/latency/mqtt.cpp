#include <stdexcept>

#include "broker.h"
#include "latency.h"

namespace latency {

// Fleet telemetry: the daemon publishing every message to an MQTT broker on this machine (a
// subscriber taking every topic), against the daemon without --mqtt.
Comparison measureMqtt(const Options& options) {
    harness::Broker broker;
    harness::Subscriber everything(broker.port(), "#");
    const std::string url = broker.url();
    const Side off{"no MQTT",
                   [](uint16_t) {
                       return std::vector<std::string>{"--monitor-port", "0"};
                   },
                   nullptr};
    const Side on{"publishing to MQTT",
                  [&url](uint16_t) {
                      return std::vector<std::string>{"--monitor-port", "0",      "--mqtt", url,
                                                      "--bench",        "latency"};
                  },
                  nullptr};
    Comparison figures = compareRounds(options, off, on);
    if (everything.total() == 0) {
        throw std::runtime_error("the subscriber received nothing from the daemon with --mqtt");
    }
    return figures;
}

}  // namespace latency
