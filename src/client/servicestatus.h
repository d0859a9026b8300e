// The daemon's status in one line, for the service manager: "2 boards identified (ttyUSB0
// stand 61, ttyUSB1 tester 34); client connected".
#pragma once

#include <string>

// Safe from any thread.
std::string serviceStatus(bool clientConnected);
// One board as the status names it: "ttyUSB0 stand 61".
std::string boardDescription(const std::string& port, int device);
