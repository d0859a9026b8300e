// One simulated board as its host sees it: the protocol endpoint, the report schedule the
// host programs (code 4), and the board model. Driven by bytes and by the time passed in,
// so it runs the same under the simulator's poll loop and in a unit test.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "boardmodel.h"
#include "protocolendpoint.h"
#include "reportscheduler.h"

class SimBoard {
public:
    SimBoard(std::unique_ptr<BoardModel> model, LinkFaults faults = {}, uint32_t seed = 1,
             ProtocolEndpoint::Log log = {});

    // Bytes from the host at nowMs: acknowledges, programs the schedule, acts on commands
    // and answers requests.
    void receive(const unsigned char* bytes, std::size_t count, int64_t nowMs);
    // Sends what is due at nowMs: scheduled reports and the board's own streams.
    void tick(int64_t nowMs);
    // The bytes for the line since the last call.
    std::vector<unsigned char> takeOutput(std::vector<LineEvent>* pieces = nullptr) {
        return endpoint_.takeOutput(pieces);
    }
    // When the board next has something to send; -1 when nothing is pending.
    int64_t nextWake() const;
    void setSilent(bool silent) { endpoint_.setSilent(silent); }

    BoardModel& model() { return *model_; }
    const ReportScheduler& schedule() const { return schedule_; }
    const ProtocolEndpoint& endpoint() const { return endpoint_; }
    ProtocolEndpoint& endpoint() { return endpoint_; }

private:
    void program(const Command& command, int64_t nowMs);
    void send(const Report& report);

    std::unique_ptr<BoardModel> model_;
    ProtocolEndpoint endpoint_;
    ReportScheduler schedule_;
};
