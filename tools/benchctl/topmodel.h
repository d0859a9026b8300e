// What `benchctl top` shows, built from the daemon's messages alone (no terminal): the latest
// value of every key grouped by board, read through the key table (keytable.h: labels, units
// where known, words for switches, labelled list elements), the latest chart of each chart
// key, the boards identified, the port table of the latest status block, the messages lost,
// and the state of the connection. Anything the daemon sends is bounded here: values are cut and
// made printable, unknown keys are shown under "other" up to a limit.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "keytable.h"
#include "statusblock.h"

class TopModel {
public:
    static constexpr std::size_t MAX_VALUE = MAX_CELL_TEXT;  // characters shown of a value
    static constexpr std::size_t MAX_OTHER_KEYS = 32;        // unknown keys kept

    struct Value {
        std::string key;
        std::string label;  // "speed"; the key itself for unknown keys
        // "1502", "on"; a list's elements with their names, "min 310 · max 388 · avg 350"
        std::string text;
        std::string unit;  // "rpm"; empty where the board's own unit, and for lists
        ValueKind kind = ValueKind::Number;
        std::vector<Cell> cells;  // one per list element; the value itself otherwise
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
    // "stand speed 1490 rpm, rising; set-point 1500 rpm"; empty before the first device_rpm.
    std::string speedLine() const;
    // The latest value of `key` as the daemon sent it (bounded, not yet made printable);
    // nullptr before one, or for an unknown key beyond the limit.
    const std::string* raw(const std::string& key) const;
    const std::map<std::string, std::vector<double>>& charts() const { return charts_; }
    // The latest complete status block (complete() false before the first).
    const StatusBlock& status() const { return status_; }
    const std::set<std::string>& identified() const { return identified_; }
    unsigned long dropped() const { return dropped_; }
    const std::string& lastError() const { return lastError_; }
    const std::string& connection() const { return connection_; }
    unsigned long messages() const { return messages_; }

private:
    static Value valueOf(const std::string& key, const std::string& raw);

    std::map<std::string, std::string> values_;  // the latest raw value of each key
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
