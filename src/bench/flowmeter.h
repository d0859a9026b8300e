// The flowmeter's one setting and its builders.
#pragma once

#include <cstdint>
#include <memory>

class Command;

class Flowmeter {
public:
    static uint8_t slidingLen;

    static std::unique_ptr<Command> reset();
    static std::unique_ptr<Command> setLen();
};
