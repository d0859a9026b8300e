// The message codes of the boards' binary protocol (the code byte of a data frame). A code
// says what the payload means; several codes mean one thing as the host's command and another
// as the board's report, and such a code has a name for each meaning. "host->" is a command
// the daemon sends, "->host" a report a board sends.
#pragma once

namespace codes {

// host->board: ask for the version (access 2, no payload); ->host: the version reply, which
// identifies the board and, scheduled every second, keeps its channel alive.
constexpr unsigned char VERSION = 2;
// host->board: add an entry to the board's table of periodic reports, or clear the table.
constexpr unsigned char SCHEDULE = 4;
// ->host: the board's debug output, dumped on the console.
constexpr unsigned char DEBUG_DUMP = 5;

// host->tester: the pressure sensor type, or a reset of the maximum pressure.
constexpr unsigned char PRESSURE_SENSOR = 10;
// ->host: the rail pressure and its maximum (tester), pressure sensor 1 (stand).
constexpr unsigned char PRESSURES = 10;
// host->tester: the injector pulse settings. Also scheduled as a report, which nothing decodes.
constexpr unsigned char INJECTOR_PULSE = 11;
// host->tester: injectors on or off (access 1), or ask for their status (access 2);
// ->host: the injector status.
constexpr unsigned char INJECTOR_STATUS = 12;
// host->tester: the injector currents. Also scheduled as a report, which nothing decodes.
constexpr unsigned char INJECTOR_CURRENTS = 13;
// host->delay meter: its sensitivity (the same code as the tester's currents).
constexpr unsigned char DELAY_SENSITIVITY = 13;
// ->host: a report the tester and the stand are scheduled to send; nothing decodes it.
constexpr unsigned char UNDECODED_15 = 15;
// ->host: the oscillogram calibration (scales of the chart samples).
constexpr unsigned char OSC_CALIBRATION = 16;
// host->tester: the injector voltage.
constexpr unsigned char VOLTAGE = 18;
// host->tester: which oscillogram to stream, 0 for none.
constexpr unsigned char OSC_START = 20;
// ->host: a segment of oscillogram chart 1; charts 1 to 6 are codes 21 to 26.
constexpr unsigned char CHART_FIRST = 21;
constexpr unsigned char CHART_LAST = 26;
// host->tester: the leakage test's parameters; ->host: the leakage test's progress.
constexpr unsigned char LEAKAGE = 27;
// host->tester: a pressure regulator's set-point (current, duty cycle or pressure). Also
// scheduled as a report, which nothing decodes.
constexpr unsigned char REGULATOR_SET_POINT = 30;
// host->tester: a pressure regulator on or off; ->host: the three regulator channels.
constexpr unsigned char REGULATOR_STATUS = 31;

// host->stand: the motor's speed set-point and direction; ->host: the measured speed (from a
// tester too, while no stand is connected).
constexpr unsigned char ROTATION_SPEED = 41;
// host->stand: the motor's rotation on or off; ->host: whether it rotates.
constexpr unsigned char ROTATION_ACTIVE = 42;
// host->stand: the temperature set-point; ->host: the two measured temperatures.
constexpr unsigned char TEMPERATURE = 46;
// host->stand: the fan or the pump on or off (payload byte 0 selects which).
constexpr unsigned char STAND_SWITCH = 47;
// ->host: the stand's state (fan, pump, motor, tank...).
constexpr unsigned char STAND_STATE = 47;

// ->host: the flowmeter's calibration.
constexpr unsigned char FLOW_CALIBRATION = 53;
// host->flowmeter: the length of its sliding window (never sent). Also scheduled as a report,
// which nothing decodes.
constexpr unsigned char FLOW_WINDOW = 54;
// ->host: the flowmeter's volumes per channel.
constexpr unsigned char FLOW = 55;
// host->flowmeter: start the volumes again from zero.
constexpr unsigned char FLOW_RESET = 56;
// host->delay meter: start its figures again.
constexpr unsigned char DELAY_RESET = 60;
// ->host: the delay meter's figures (total, count, minimum, maximum).
constexpr unsigned char DELAY_FIGURES = 62;
// ->host: a report the stand is scheduled to send; nothing decodes it.
constexpr unsigned char UNDECODED_80 = 80;

}  // namespace codes
