// The chaos run's checker on made-up logs: it must find a report lost inside a live client
// connection, forgive one lost with a connection the client ended, and see a late stop, the
// client's or the motor guard's.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "runcheck.h"

using namespace chaoscheck;

namespace {

// A stand that is identified at 1 s and sends its speed (code 41) every 100 ms from 2 s on,
// each report acknowledged; the client receives the speeds listed in `received` as
// (time in ms, connection, rpm).
chaoscheck::Run standRun(const std::vector<std::tuple<int, int, int>>& received,
                         const std::string& extra = "", bool steady = false) {
    chaoscheck::Run run;
    std::istringstream meta(
        "seed 1\nseconds 10\nfailsafe 2\nboard ttyUSB0 stand62 62\n"
        "start 0\nquiet 9000000\nend 10000000\n");
    readRunText(meta, run);
    std::ostringstream frames;
    frames << "0 ttyUSB0 event plug stand62 62 /dev/pts/1\n"
           << "1000000 ttyUSB0 rx data 4 1 00\n";
    for (int i = 0; i < 20; ++i) {
        const int t = 2000000 + i * 100000;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", steady ? 1000 : 1000 + i);
        frames << t << " ttyUSB0 tx data 41 " << i << " " << hex << "\n"
               << t + 1000 << " ttyUSB0 rx ack " << i << "\n";
    }
    frames << extra;
    std::istringstream frameLog(frames.str());
    long bad = 0;
    readFrameLog(frameLog, run, bad);
    std::ostringstream log;
    log << "0 client 1 open\n";
    int connection = 1;
    for (const auto& [ms, conn, rpm] : received) {
        if (conn != connection) {
            log << ms * 1000 - 1 << " client " << connection << " reset\n"
                << ms * 1000 - 1 << " client " << conn << " open\n";
            connection = conn;
        }
        log << ms * 1000 << " client " << conn << " recv device_rpm:" << rpm << "\n";
    }
    std::istringstream runLog(log.str());
    readRunLog(runLog, run, bad);
    EXPECT_EQ(bad, 0);
    matchAcks(run);
    return run;
}

// Every speed but those from `skip` for `count` reports; the client's second connection takes
// over from report `newConnectionFrom`. `steady`: the stand reads 1000 throughout.
std::vector<std::tuple<int, int, int>> allSpeeds(int skip, int newConnectionFrom, int count = 1,
                                                 bool steady = false) {
    std::vector<std::tuple<int, int, int>> speeds;
    for (int i = 0; i < 20; ++i) {
        if (i < skip || i >= skip + count) {
            speeds.emplace_back(2000 + i * 100 + 5, i >= newConnectionFrom ? 2 : 1,
                                steady ? 1000 : 1000 + i);
        }
    }
    return speeds;
}

}  // namespace

TEST(ChaosCheck, ReportLostOnALiveConnectionFailsAndOneLostWithTheClientsResetIsForgiven) {
    // A stand that reads the same all along leaves the gap's place to the checker: the lost
    // reports are those before the new connection's messages, not the run's last ones.
    struct Row {
        int skip, count, newConnectionFrom;
        bool steady;
        long unaccounted, accounted;
    } rows[] = {{-1, 1, 99, false, 0, 0},
                {7, 1, 99, false, 1, 0},
                {7, 1, 8, false, 0, 1},
                {19, 1, 99, false, 1, 0},
                {5, 3, 8, true, 0, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.skip);
        chaoscheck::Run run = standRun(
            allSpeeds(row.skip, row.newConnectionFrom, row.count, row.steady), "", row.steady);
        Verdict verdict;
        Figure figure = checkReports(run, "client", verdict);
        EXPECT_EQ(figure.unaccounted, row.unaccounted);
        EXPECT_EQ(figure.accounted, row.accounted);
        EXPECT_EQ(figure.reached, row.skip < 0 ? 20 : 20 - row.count);
        EXPECT_EQ(verdict.failures.size(), row.unaccounted > 0 ? 1u : 0u);
        if (row.unaccounted > 0 && !row.steady) {
            EXPECT_NE(
                verdict.failures[0].find("ttyUSB0 device_rpm:" + std::to_string(1000 + row.skip)),
                std::string::npos)
                << verdict.failures[0];
        }
    }
}

TEST(ChaosCheck, ReportsOutOfOrderAreRefused) {
    auto speeds = allSpeeds(-1, 99);
    std::swap(std::get<2>(speeds[3]), std::get<2>(speeds[4]));
    chaoscheck::Run run = standRun(speeds);
    Verdict verdict;
    checkReports(run, "client", verdict);
    EXPECT_FALSE(verdict.failures.empty());
}

TEST(ChaosCheck, StopIsTimedFromTheClientsSendToTheFrameOnTheStandsLine) {
    for (int delayMs : {40, 200}) {
        const std::string extra = "5000000 ttyUSB0 rx data 42 30 00\n";
        chaoscheck::Run run = standRun(allSpeeds(-1, 99));
        run.streams["client"].sent.push_back({5000000 - delayMs * 1000, 1, "device_active", "0"});
        Verdict verdict;
        double worst = 0;
        std::istringstream frameLog(extra);
        long bad = 0;
        readFrameLog(frameLog, run, bad);
        Figure figure = checkStops(run, verdict, worst);
        EXPECT_EQ(figure.checked, 1);
        EXPECT_DOUBLE_EQ(worst, delayMs);
        EXPECT_EQ(figure.unaccounted, delayMs > 100 ? 1 : 0);
    }
}

TEST(ChaosCheck, MotorGuardStopIsTimedFromTheEleventhSteadyReportAfterTheRotationWentOff) {
    for (int delayMs : {40, 150, -1}) {
        SCOPED_TRACE(delayMs);
        // Held at 1000 rpm from 4.5 s; the stand says its rotation is off at 4.6 s, then reports
        // 1000 every 100 ms from 5 s: the eleventh at 6 s. -1: the guard never stops it.
        std::map<int, std::string> lines = {{4500000, "event hold 5 1000"},
                                            {4600000, "tx data 42 40 00"},
                                            {9500000, "event release"}};
        for (int i = 0; i < 15; ++i) {
            lines[5000000 + i * 100000] = "tx data 41 " + std::to_string(41 + i) + " 000003e8";
        }
        if (delayMs >= 0) {
            lines[6000000 + delayMs * 1000] = "rx data 42 7 01";
            lines[6000100 + delayMs * 1000] = "rx data 42 8 00";
        }
        std::string extra;
        for (const auto& [t, line] : lines) {
            extra += std::to_string(t) + " ttyUSB0 " + line + "\n";
        }
        chaoscheck::Run run = standRun(allSpeeds(-1, 99, 1, true), extra, true);
        Verdict verdict;
        double worst = 0;
        Figure figure = checkGuardStops(run, verdict, worst);
        EXPECT_EQ(figure.checked, 1);
        EXPECT_EQ(figure.unaccounted, delayMs == 40 ? 0 : 1);
        if (delayMs >= 0) {
            EXPECT_NEAR(worst, delayMs + 0.1, 0.01);
        }
        EXPECT_EQ(verdict.failures.size(), figure.unaccounted > 0 ? 1u : 0u);
    }
}
