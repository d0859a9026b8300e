// A/B comparisons of the report -> control client latency in alternating rounds on a whole
// simulated bench.
#include <filesystem>
#include <stdexcept>

#include "latency.h"
#include "loopback.h"
#include "protocol/codes.h"
#include "protocol/deviceids.h"
#include "tempdir.h"

namespace latency {

const char* const BENCH_SETTINGS =
    "device_active:1;device_rpm:1500;device_fan:1;device_pump:1;device_temperature:40;"
    "injector_active:1;injector_i1:20;injector_i2:12;osc:1;regulator1_active:1;"
    "regulator1_current:1.5;regulator2_active:1;regulator2_duty_cycle:35.5;"
    "leakage_max_time:8000;flowmeter_reset:1;delaymeter_reset:1;injector_status:1;";

namespace {

void measureRound(const Options& options, const std::string& binary, const Side& side,
                  Figures& into, int samples, Gaps& gaps, double& cpuSeconds, double& seconds) {
    SimulatedBench bench(options);
    harness::TempDir& dir = bench.dir;
    Board& board = bench.board;
    const uint16_t port = harness::freePort();
    const uint16_t spare = harness::freePort();
    std::vector<std::string> argv{binary, "--port", std::to_string(port), "--dev-dir", dir.path()};
    const std::vector<std::string> extra = side.arguments(spare);
    argv.insert(argv.end(), extra.begin(), extra.end());
    harness::Process daemon(argv, QUIET);
    Client client(port, 5000ms);
    Clock::time_point at;
    const auto identified = Clock::now() + 30s;
    if (!client.waitForMessage("device_connected:61;", 0, identified, at) ||
        !waitConfigured(board, 10s) ||
        !waitUntilTrue([&] { return client.countStartingWith("device_connected:") >= 4; },
                       identified)) {
        throw std::runtime_error("the bench was not identified and configured");
    }
    client.send(BENCH_SETTINGS);
    if (!waitUntilTrue([&] { return client.countStartingWith("injector_chart") >= 2; },
                       Clock::now() + 20s)) {
        throw std::runtime_error("the injector tester drew no chart");
    }
    std::shared_ptr<void> company = side.join ? side.join(spare, board) : nullptr;
    std::this_thread::sleep_for(500ms);
    const Clock::time_point start = Clock::now();
    const uint64_t cpuAtStart = threadCpuNanos(daemon.pid());
    for (int i = 0; i < samples; ++i) {
        gaps.pause();
        const unsigned char value = static_cast<unsigned char>(i % 200);
        const std::size_t messages = client.messageCount();
        const Clock::time_point sent =
            board.send(dataFrame(board.nextNumber(), codes::ROTATION_ACTIVE, 1, {value}));
        Clock::time_point received;
        if (client.waitForMessage("device_active:" + std::to_string(value) + ";", messages,
                                  sent + 2s, received)) {
            into.ms.push_back(millis(received - sent));
        } else {
            ++into.lost;
        }
    }
    cpuSeconds += static_cast<double>(threadCpuNanos(daemon.pid()) - cpuAtStart) / 1e9;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

Comparison compareRounds(const Options& options, const Side& a, const Side& b) {
    return compareRounds(options, a, b, options.daemon, options.daemon);
}

Comparison compareRounds(const Options& options, const Side& a, const Side& b,
                         const std::string& aDaemon, const std::string& bDaemon) {
    Comparison figures;
    figures.aName = a.name;
    figures.bName = b.name;
    Gaps gaps;
    const int perRound = std::max(1, options.comparisonSamples / options.rounds);
    for (int round = 0; round < options.rounds; ++round) {
        const bool aFirst = round % 2 == 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool isA = (turn == 0) == aFirst;
            measureRound(options, isA ? aDaemon : bDaemon, isA ? a : b, isA ? figures.a : figures.b,
                         perRound, gaps, isA ? figures.aCpuSeconds : figures.bCpuSeconds,
                         isA ? figures.aSeconds : figures.bSeconds);
        }
    }
    return figures;
}

}  // namespace latency
