// SIGTERM and SIGINT: the first one asks the daemon to stop cleanly, a second one ends it at
// once with the signal's default action. The handler only records the signal and writes an
// eventfd; the reaction runs on a thread of this class.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "service/filedescriptor.h"

class StopSignals {
public:
    // Installs the handlers; `onStop` runs once, on this class's thread, at the first signal.
    // One instance at a time.
    explicit StopSignals(std::function<void()> onStop);
    // Stops the thread. The handlers stay: a late signal then ends the process at once.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that asked for the stop, or 0.
    static int received();

private:
    void run();

    FileDescriptor wake_;  // eventfd: a signal, or the destructor
    std::function<void()> onStop_;
    std::atomic<bool> closing_{false};
    std::thread thread_;
};
