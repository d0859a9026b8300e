// The checker's own reading of the boards' reports: which client messages a report becomes,
// written from the documented protocol, sharing no code with the daemon's handlers. A value
// of "*" means the checker takes the message's key but not its value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chaoscheck {

enum class BoardClass { Stand, Tester, Flowmeter, DelayMeter, Other };

BoardClass classOf(int boardId);

struct ExpectedMessage {
    std::string key;
    std::string value;
    // Sent only in circumstances the checker does not follow (the tester's speed stands in
    // for a stand that is not there).
    bool optional = false;
};

// The messages one report becomes, in order; empty for reports no client sees. Charts are
// assembled by ChartAssembler, not here.
std::vector<ExpectedMessage> messagesOf(BoardClass board, int code,
                                        const std::vector<uint8_t>& payload);

// The tester's oscillogram: segments (codes 21 to 26) collected into one message per chart.
class ChartAssembler {
public:
    // A segment as the host received it; returns the chart's message when it completes.
    // `whole` false for a segment the host never had: the chart it belongs to is then optional.
    bool add(int code, const std::vector<uint8_t>& payload, bool whole, ExpectedMessage& out);

private:
    struct Chart {
        long points = 0;
        long count = 0;
        bool broken = false;
    };
    Chart charts_[6];
};

bool isChart(int code);

// The signed big-endian 32-bit value at `at`; 0 when the payload is shorter.
long be32(const std::vector<uint8_t>& p, std::size_t at);

// A setting the run sends, and how it shows in the command frame the board receives.
struct SettingReading {
    int code;
    // The setting's value as the board received it, from the frame's payload; false when the
    // frame is not this setting.
    bool (*read)(const std::vector<uint8_t>& payload, long& value);
};
// For the keys the run sends in bursts and as stops; false for another key.
bool settingOf(const std::string& key, BoardClass& board, SettingReading& reading);

}  // namespace chaoscheck
