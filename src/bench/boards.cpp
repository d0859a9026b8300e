#include "bench/boards.h"

#include "bench/crit.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "protocol/codes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/clientmessage.h"
#include "service/outbox.h"

namespace {

using Schedule = std::vector<std::pair<unsigned char, int>>;
using namespace codes;

const Schedule CRIT_SCHEDULE = {{PRESSURES, 600},        {VERSION, 1000},
                                {INJECTOR_PULSE, 300},   {UNDECODED_15, 600},
                                {OSC_CALIBRATION, 500},  {REGULATOR_SET_POINT, 800},
                                {REGULATOR_STATUS, 800}, {INJECTOR_CURRENTS, 1000},
                                {ROTATION_SPEED, 400},   {LEAKAGE, 200}};
const Schedule STAND_SCHEDULE = {
    {STAND_STATE, 1000}, {VERSION, 1000},  {ROTATION_SPEED, 310}, {ROTATION_ACTIVE, 1100},
    {TEMPERATURE, 1500}, {PRESSURES, 600}, {UNDECODED_80, 800},   {UNDECODED_15, 1000}};
const Schedule FLOWMETER_SCHEDULE = {
    {VERSION, 1000}, {FLOW, 300}, {FLOW_CALIBRATION, 500}, {FLOW_WINDOW, 300}};
const Schedule DELAYMETER_SCHEDULE = {{DELAY_FIGURES, 500}};

}  // namespace

BoardProfile boardProfile(unsigned char device) {
    BoardProfile profile;
    switch (device) {
        case known_devices::CRIT0303:
        case known_devices::CRIT0304:
            profile.schedule = CRIT_SCHEDULE;
            break;
        case known_devices::STAND:
        case known_devices::STAND62:
            profile.schedule = STAND_SCHEDULE;
            break;
        case known_devices::FLOWMETER:
            profile.schedule = FLOWMETER_SCHEDULE;
            break;
        case known_devices::DELAYMETER:
            profile.schedule = DELAYMETER_SCHEDULE;
            // The meter starts with the sensitivity the client last set.
            profile.firstCommands.push_back(CRIT::setDelaySensitivity());
            break;
        default:
            break;
    }
    return profile;
}

void boardGone(unsigned char device) {
    if (known_devices::isStand(device)) {
        Stand::standConnected.store(false);
    }
    pushMessage(ClientMessage::deviceDisconnected(device));
}

const BoardBehaviour& benchBoards() {
    static const BoardBehaviour boards{dispatch, boardProfile, boardGone};
    return boards;
}
