// Helpers shared by the fuzz targets: a quiet console, thread-less channels and a failure
// that libFuzzer records as a crash with its input.
#pragma once

#include <cstddef>
#include <memory>

#include "service/filedescriptor.h"

class Channel;

namespace fuzz_support {

// The daemon prints a line for much of what it handles: at a million inputs a minute that
// would drown libFuzzer's own reports, which go to standard error.
void silenceConsole();

// Declared first in an input's run: waits at its end for the console's writer to write, and so
// free, every line the run queued. libFuzzer takes a run that allocates more than it frees for
// a leak and scans the whole heap after it; the console's lines, freed by its own thread a
// little later, made nearly every run pay that scan (six times the run itself).
struct ConsoleSettled {
    ConsoleSettled() = default;
    ~ConsoleSettled();
    ConsoleSettled(const ConsoleSettled&) = delete;
    ConsoleSettled& operator=(const ConsoleSettled&) = delete;
};

// A channel without threads, as a board of `device` that identified itself (255: a board
// that has not). The fuzz target drives its managers itself.
std::shared_ptr<Channel> makeIdleChannel(int device, FileDescriptor fd = FileDescriptor());

// Gives the channel back its identity, as made by makeIdleChannel.
void restoreIdentity(Channel& channel, int device);

// Empties the channel's send queue; returns how many commands it held.
std::size_t drainSendQueue(Channel& channel);

// Empties `commands`, checking that every message is one "key:value;" unit.
void drainClientMessages();

// Reports a broken invariant on standard error and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzz_support

#define FUZZ_CHECK(condition, ...)             \
    do {                                       \
        if (!(condition)) {                    \
            ::fuzz_support::fail(__VA_ARGS__); \
        }                                      \
    } while (false)
