// The ids that boards give in their version reply, and the kinds they fall into.
#pragma once

namespace known_devices {
constexpr int CRSD = 2;
constexpr int DELAYMETER = 5;
constexpr int FLOWMETER = 12;
constexpr int CRIT0303 = 33;
constexpr int CRIT0304 = 34;
constexpr int STAND = 61;
constexpr int STAND62 = 62;
// A channel's device id while its board has not identified itself.
constexpr int UNKNOWN = 255;

// The injector testers, which share one report schedule and one set of settings.
constexpr bool isTester(int id) {
    return id == CRIT0303 || id == CRIT0304;
}
// The test stands (motor, pump, temperatures).
constexpr bool isStand(int id) {
    return id == STAND || id == STAND62;
}
}  // namespace known_devices
