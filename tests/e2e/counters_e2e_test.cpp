// The real daemon's per-board counters: SIGUSR1 prints them for every board, and a board that
// goes away leaves its final figures.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "protocol/codes.h"
#include "testsupport.h"

using namespace testing_support;

namespace {

// Reads what the host writes to the board until `expected` (in hex) is among it.
bool hostWrote(Pty& board, std::string& written, const Bytes& expected,
               std::chrono::milliseconds timeout = 10000ms) {
    return waitUntil(
        [&] {
            Bytes bytes = board.readFor(20ms);
            if (!bytes.empty()) {
                written += " " + hex(bytes);
            }
            return written.find(hex(expected)) != std::string::npos;
        },
        timeout);
}

}  // namespace

TEST(CountersE2E, Sigusr1PrintsEveryBoardsCountersAndAGoneBoardLeavesItsOwn) {
    TempDir dir;
    Pty board;
    Pty quiet;
    dir.link("ttyUSB0", board.slavePath());
    dir.link("ttyUSB1", quiet.slavePath());
    uint16_t port = 0;
    std::unique_ptr<Process> started = startDaemon({"--dev-dir", dir.path()}, port);
    Process& daemon = *started;
    ASSERT_TRUE(daemon.waitForOut("Waiting for connection...\n"));

    std::string written;
    ASSERT_TRUE(hostWrote(board, written, dataFrame(0, codes::VERSION, 2, {})))
        << "no version request";
    // A flowmeter answers, then sends five reports that nothing decodes, each after some line
    // noise, and one frame that the line corrupted.
    Bytes line = dataFrame(0, codes::VERSION, 1, {1, 2, 3, 12});
    Bytes corrupted = dataFrame(9, codes::INJECTOR_CURRENTS, 1, {7, 7});
    corrupted.back() ^= 0x5A;
    for (unsigned char number = 1; number <= 5; ++number) {
        if (number == 5) {
            line.insert(line.end(), corrupted.begin(), corrupted.end());
        }
        const Bytes noise = {0x00, 0x11, 0x22};
        const Bytes report = dataFrame(number, codes::INJECTOR_CURRENTS, 1, {number});
        line.insert(line.end(), noise.begin(), noise.end());
        line.insert(line.end(), report.begin(), report.end());
    }
    board.write(line);
    // The last report's ACK: everything before it has been read.
    ASSERT_TRUE(hostWrote(board, written, ackFrame(5))) << written;
    ASSERT_TRUE(daemon.waitForOut("DEVICE CONNECTED: FLOWMETER"));

    const std::string figures =
        "Counters [ttyUSB0]: frames 6, crc failures 1, garbage bytes 15, acks sent 6, "
        "commands sent ";
    ASSERT_EQ(::kill(daemon.pid(), SIGUSR1), 0);
    EXPECT_TRUE(daemon.waitForOut(figures)) << daemon.out();
    EXPECT_TRUE(daemon.waitForOut("Counters [ttyUSB1]: frames 0, crc failures 0, garbage bytes 0"))
        << daemon.out();

    // Still running, and each signal gives one set.
    ASSERT_EQ(::kill(daemon.pid(), SIGUSR1), 0);
    EXPECT_TRUE(waitUntil([&] {
        const std::string printed = daemon.out();
        return occurrences(printed, figures) == 2 &&
               occurrences(printed, "Counters [ttyUSB1]: ") == 2;
    })) << daemon.out();

    dir.unlink("ttyUSB0");
    const std::string gone = "Device disconnected: ttyUSB0\n" + figures;
    std::string out;
    EXPECT_TRUE(waitUntil([&] {
        out = daemon.out();
        const std::size_t at = out.find(gone);
        return at != std::string::npos && out.find('\n', at + gone.size()) != std::string::npos;
    })) << out;
    // The handshake and the flowmeter's four schedule entries at least.
    EXPECT_GE(counterOf(out, "ttyUSB0", "commands sent"), 7) << out;
    // Alive to the end: SIGTERM stops it cleanly.
    EXPECT_EQ(daemon.stop(), 0);
}
