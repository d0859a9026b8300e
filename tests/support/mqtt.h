// The harness's MQTT broker and subscriber under the names the tests use.
#pragma once

#include "broker.h"

namespace mqtt_support {

using harness::Broker;
using harness::Subscriber;

}  // namespace mqtt_support
