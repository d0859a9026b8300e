// The daemon's answer to "status;" on the monitor port: status_version, status_uptime,
// status_client, status_observers, status_stand_setpoint, status_refused where an address
// filter is set, one status_port per port, then status_end. Collects the messages of one
// block and prints it for a person.
#pragma once

#include <string>
#include <utility>
#include <vector>

class StatusBlock {
public:
    struct Port {
        std::string name;
        std::string board;  // the board id, or "unidentified"
        std::string lowLatency;
        std::vector<std::pair<std::string, std::string>> counters;  // (name, figure) in order
        bool identified() const { return !board.empty() && board != "unidentified"; }
        // The figure named `counter` ("frames", "crc failures"...), empty when absent.
        std::string counter(const std::string& counter) const;
    };

    // Takes one message (without ";"). Messages of other keys are ignored; a status_version
    // starts a new block. True once status_end completed the block.
    bool add(const std::string& message);
    bool complete() const { return complete_; }
    void clear() { *this = StatusBlock(); }

    const std::string& version() const { return version_; }
    const std::string& uptime() const { return uptime_; }  // whole seconds, as sent
    const std::string& client() const { return client_; }  // "address:port" or "none"
    const std::string& observers() const { return observers_; }
    // The stand's speed set-point that the control client last sent; empty when not told.
    const std::string& standSetpoint() const { return standSetpoint_; }
    // Connections refused by the address filters, "control N,monitor N"; empty when the
    // daemon has no filter.
    const std::string& refused() const { return refused_; }
    const std::vector<Port>& ports() const { return ports_; }

    // Several lines: version, uptime, client and observers, then a table with a column per
    // port and a row per figure (board, low latency, then each counter in the daemon's order).
    std::string format() const;
    // "62 STAND62": a board id with its console name when it is a known one.
    static std::string boardName(const std::string& id);
    // "1 h 02 min 03 s" from whole seconds; the text itself when it is not a number.
    static std::string duration(const std::string& seconds);

private:
    std::string version_, uptime_, client_, observers_, standSetpoint_, refused_;
    std::vector<Port> ports_;
    bool complete_ = false;
};
