// `benchctl top`: the full-screen view in the terminal (ncurses). Connects and reconnects with
// a back-off, drains the socket on every pass, asks for the status once a second, and redraws
// TopScreen's lines at most four times a second, on a resize too. q quits.
#pragma once

#include <atomic>

#include "ctloptions.h"

class TopCommand {
public:
    // Runs until q or `stop`; the exit status.
    static int run(const CtlConfig& config, const std::atomic<bool>& stop);
};
