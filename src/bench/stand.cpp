#include "bench/stand.h"

#include "protocol/bytes.h"
#include "protocol/codes.h"
#include "protocol/command.h"

std::atomic<int32_t> Stand::rpm{0};
uint8_t Stand::rotateDirection = 0;
uint8_t Stand::active = 0;
uint8_t Stand::pump = 0;
uint8_t Stand::fan = 0;
int32_t Stand::rpmFeedBack = 0;
int32_t Stand::activeFeedBack = 0;
int32_t Stand::rpmPrevious = 0;
int32_t Stand::rpmCurrent = 0;
int32_t Stand::rpmDelta = 0;
uint32_t Stand::ticksBetweenRPMCommand = 0;
uint32_t Stand::ticksBetweenDelta = 0;
std::atomic<bool> Stand::standConnected{false};

namespace {
constexpr unsigned char SWITCH_FAN = 0;
constexpr unsigned char SWITCH_PUMP = 1;

std::unique_ptr<Command> build(unsigned char code, const unsigned char* payload,
                               unsigned char length) {
    return std::make_unique<Command>(Command::makeData(code, ACCESS_COMMAND, payload, length));
}
}  // namespace

void Stand::restoreDefaults() {
    rpm = 0;
    rotateDirection = 0;
    active = 0;
    pump = 0;
    fan = 0;
    rpmFeedBack = 0;
    activeFeedBack = 0;
    rpmPrevious = 0;
    rpmCurrent = 0;
    rpmDelta = 0;
    ticksBetweenRPMCommand = 0;
    ticksBetweenDelta = 0;
    standConnected = false;
}

std::unique_ptr<Command> Stand::setRPM() {
    unsigned char payload[3];
    util::putBE16(payload, 0, static_cast<uint32_t>(rpm.load()));
    payload[2] = rotateDirection;
    return build(codes::ROTATION_SPEED, payload, 3);
}

std::unique_ptr<Command> Stand::setRotateActive() {
    return setRotateActive(active);
}

std::unique_ptr<Command> Stand::setRotateActive(unsigned char state) {
    return build(codes::ROTATION_ACTIVE, &state, 1);
}

std::unique_ptr<Command> Stand::setFanState() {
    const unsigned char payload[2] = {SWITCH_FAN, fan};
    return build(codes::STAND_SWITCH, payload, 2);
}

std::unique_ptr<Command> Stand::setPumpState() {
    const unsigned char payload[2] = {SWITCH_PUMP, pump};
    return build(codes::STAND_SWITCH, payload, 2);
}

std::unique_ptr<Command> Stand::setTemperature(int32_t hundredths) {
    unsigned char payload[4];
    util::putBE32(payload, 0, static_cast<uint32_t>(hundredths));
    return build(codes::TEMPERATURE, payload, 4);
}
