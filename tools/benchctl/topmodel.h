// What `benchctl top` shows, built from the daemon's messages alone (no terminal): the latest
// value of every key grouped by board with its unit, the latest chart of each chart key, the
// boards identified, the port table of the latest status block, the messages lost, and the
// state of the connection. Anything the daemon sends is bounded here: values are cut and
// made printable, unknown keys are shown under "other" up to a limit.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "statusblock.h"

class TopModel {
public:
    static constexpr std::size_t MAX_VALUE = 60;       // characters shown of a value
    static constexpr std::size_t MAX_OTHER_KEYS = 32;  // unknown keys kept

    struct Value {
        std::string key;
        std::string label;  // "speed"; the key itself for unknown keys
        std::string text;   // printable, at most MAX_VALUE characters
        std::string unit;   // from the protocol reference, may be empty
    };
    struct Group {
        std::string title;          // "stand: 62 STAND62", "stand: no board identified"
        std::vector<Value> values;  // in the order of the protocol reference
    };

    // One message from the daemon, without its ";".
    void onMessage(const std::string& message);
    // The connection to `where` ("127.0.0.1:2016") is up; the daemon announces its boards
    // again, so the boards identified start afresh.
    void connected(const std::string& where);
    // The connection is down (or an attempt failed with `reason`); reconnecting.
    void disconnected(const std::string& reason = {});

    // Groups that have a value or an identified board, stand first, "other" last.
    std::vector<Group> groups() const;
    // "1490 (set-point unit), rising; set-point 1500"; empty before the
    // first device_rpm.
    std::string speedLine() const;
    // The latest value of `key`; nullptr before one (or for an unknown key beyond the limit).
    const Value* value(const std::string& key) const;
    const std::map<std::string, std::vector<double>>& charts() const { return charts_; }
    // The latest complete status block (complete() false before the first).
    const StatusBlock& status() const { return status_; }
    const std::set<std::string>& identified() const { return identified_; }
    unsigned long dropped() const { return dropped_; }
    const std::string& lastError() const { return lastError_; }
    const std::string& connection() const { return connection_; }
    unsigned long messages() const { return messages_; }

private:
    std::map<std::string, Value> values_;
    std::size_t otherKeys_ = 0;
    std::map<std::string, std::vector<double>> charts_;
    StatusBlock pending_, status_;
    std::set<std::string> identified_;
    unsigned long dropped_ = 0;
    std::string lastError_;
    std::string connection_ = "connecting...";
    bool everConnected_ = false;
    unsigned long messages_ = 0;
    std::string rpm_, previousRpm_;
};
