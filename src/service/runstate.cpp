#include "service/runstate.h"

std::atomic<bool> isWorking{true};
std::atomic<bool> countersRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
