// The process-wide run flags.
#pragma once

#include <atomic>

// Run flag of the watcher loop.
extern std::atomic<bool> isWorking;
// Set by the SIGUSR1 handler (and nothing else there): the watcher prints every channel's
// counters on its next pass and clears it.
extern std::atomic<bool> countersRequested;
