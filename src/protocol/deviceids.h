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

// The words for a board type the daemon drives: its console name ("DEVICE CONNECTED: STAND")
// and its kind in the status line ("ttyUSB0 stand 61").
struct BoardType {
    int id;
    const char* name;
    const char* kind;
};
constexpr BoardType BOARD_TYPES[] = {
    {STAND62, "STAND62", "stand"},    {STAND, "STAND", "stand"},
    {CRIT0303, "CRIT0303", "tester"}, {FLOWMETER, "FLOWMETER", "flowmeter"},
    {CRIT0304, "CRIT", "tester"},     {DELAYMETER, "DELAYMETER", "delay meter"},
};
// Null for an id the daemon does not drive (it stays unidentified).
constexpr const BoardType* boardType(int id) {
    for (const BoardType& type : BOARD_TYPES) {
        if (type.id == id) {
            return &type;
        }
    }
    return nullptr;
}
}  // namespace known_devices
