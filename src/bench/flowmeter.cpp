#include "bench/flowmeter.h"

#include "protocol/codes.h"
#include "protocol/command.h"

uint8_t Flowmeter::slidingLen = 1;

std::unique_ptr<Command> Flowmeter::reset() {
    return std::make_unique<Command>(
        Command::makeData(codes::FLOW_RESET, ACCESS_COMMAND, nullptr, 0));
}

std::unique_ptr<Command> Flowmeter::setLen() {
    return std::make_unique<Command>(
        Command::makeData(codes::FLOW_WINDOW, ACCESS_COMMAND, &slidingLen, 1));
}
