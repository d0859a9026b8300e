// The flowmeter's one setting and its builders.
#pragma once

#include <cstdint>
#include <memory>

class Command;

class Flowmeter {
public:
    static uint8_t slidingLen;

    static std::unique_ptr<Command> reset();
    // The board's window length command. No client key reaches it today (the window keeps
    // the board's own default); kept, built and tested, for the key that will.
    static std::unique_ptr<Command> setLen();
};
