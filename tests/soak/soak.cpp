// The long reliability runs against the real daemon and benchsim (make soak): four boards and
// a client for SOAK_SECONDS (default 600) with every report counted per key, a client that
// stops reading for STALL_SECONDS (default 60), and 100 plug/unplug cycles. Each prints its
// figures as "[ FIGURE ]" lines. Not part of the test suite, which runs them short.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "faultbench.h"

namespace {

int seconds(const char* variable, int fallback) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    int value = std::atoi(text);
    return value > 0 ? value : fallback;
}

}  // namespace

TEST(FaultsSoak, NothingLostWithFourBoardsAndAClient) {
    fault_e2e::nothingLostSoak(seconds("SOAK_SECONDS", 600));
}

TEST(FaultsSoak, ClientThatStopsReading) {
    fault_e2e::stalledClient(seconds("STALL_SECONDS", 60));
}

TEST(FaultsSoak, HundredPlugCycles) {
    fault_e2e::plugCycles(100, 10);
}
