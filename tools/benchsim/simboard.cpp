#include "simboard.h"

#include <algorithm>

#include "protocol/bytes.h"
#include "protocol/codes.h"

SimBoard::SimBoard(std::unique_ptr<BoardModel> model, LinkFaults faults, uint32_t seed,
                   ProtocolEndpoint::Log log)
    : model_(std::move(model)), endpoint_(faults, seed, std::move(log)) {}

void SimBoard::receive(const unsigned char* bytes, std::size_t count, int64_t nowMs) {
    for (const Command& command : endpoint_.receive(bytes, count)) {
        if (command.code() == codes::SCHEDULE && command.access() == ACCESS_COMMAND) {
            program(command, nowMs);
            continue;
        }
        for (const Report& reply : model_->handle(command, nowMs)) {
            send(reply);
        }
    }
}

void SimBoard::program(const Command& command, int64_t nowMs) {
    // FF clears the table; 00 code 04 period(BE32) adds an entry. Anything else is ignored.
    const unsigned length = command.length();
    if (length >= 1 && command.data[0] == 0xFF) {
        schedule_.clear();
    } else if (length >= 7 && command.data[0] == 0x00 && command.data[2] == 0x04) {
        schedule_.add(command.data[1], util::chartoi(command.data, 3), nowMs);
    }
}

void SimBoard::tick(int64_t nowMs) {
    model_->advanceTo(nowMs);
    for (unsigned char code : schedule_.due(nowMs)) {
        if (std::optional<Report> report = model_->scheduledReport(code, nowMs)) {
            send(*report);
        }
    }
    for (const Report& report : model_->unsolicited(nowMs)) {
        send(report);
    }
}

int64_t SimBoard::nextWake() const {
    int64_t scheduled = schedule_.nextDue();
    int64_t own = model_->nextUnsolicited();
    if (scheduled < 0) {
        return own;
    }
    return own < 0 ? scheduled : std::min(scheduled, own);
}

void SimBoard::send(const Report& report) {
    endpoint_.send(report.code, report.payload);
}
