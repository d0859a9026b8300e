// A channel without threads for driving the decoder's handlers directly, with the
// process-wide state they touch restored around every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "bench/crit.h"
#include "bench/decoder.h"
#include "bench/stand.h"
#include "bench/telemetry_crit.h"
#include "bench/telemetry_meters.h"
#include "boardoptions.h"
#include "link/channel.h"
#include "protocol/bytes.h"
#include "protocol/command.h"
#include "protocol/deviceids.h"
#include "service/console.h"
#include "service/filedescriptor.h"
#include "service/outbox.h"
#include "testsupport.h"

class DecoderFixture : public ::testing::Test {
protected:
    DecoderFixture()
        : channel(FileDescriptor(),
                  testing_support::boardOptions(false, std::chrono::milliseconds(0))) {}

    void SetUp() override { restore(); }
    void TearDown() override { restore(); }

    static void restore() {
        clearMessages();
        MutexLock lock(decoderMutex);
        Stand::restoreDefaults();
        CRIT::restoreDefaults();
        TelemetryCrit::resetCharts();
        TelemetryMeters::resetDelayFigures();
    }

    // A received report: `length` bytes of payload, and bytes beyond it that were never
    // received (a handler must not read them as if they were).
    static Command report(unsigned char code, const std::vector<unsigned char>& payload) {
        Command command = Command::makeData(code, ACCESS_COMMAND, payload.data(),
                                            static_cast<unsigned char>(payload.size()));
        for (std::size_t i = payload.size(); i < sizeof command.data; ++i) {
            command.data[i] = 0xEE;
        }
        return command;
    }

    // Dispatches one report and returns the messages it queued.
    std::vector<std::string> feed(unsigned char code, const std::vector<unsigned char>& payload) {
        dispatch(channel, report(code, payload));
        return takeMessages();
    }

    // As feed, also returning what the handler printed.
    std::vector<std::string> feed(unsigned char code, const std::vector<unsigned char>& payload,
                                  std::string& printed) {
        console::drain();
        ::testing::internal::CaptureStdout();
        dispatch(channel, report(code, payload));
        console::drain();
        printed = ::testing::internal::GetCapturedStdout();
        return takeMessages();
    }

    static std::vector<std::string> takeMessages() { return testing_support::takeMessages(); }

    Channel channel;
};

using Messages = std::vector<std::string>;
