// The telemetry keys the daemon sends, as a person reads them: for each key the board that
// reports it, a label, its unit where one is truly known, and what kind of value it is. `top`
// and the web page both show values through this table, so that they read the same.
//
// A unit is given only where the key or the daemon's scaling fixes it (device_rpm is in rpm,
// the temperatures are whole degrees); a number in the board's own unit carries none. Switches
// read as words, lists as one labelled cell per element. Whatever arrives is made printable and
// bounded before it is shown: the values come from the network.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

enum class BoardKind { Stand, Tester, Flowmeter, DelayMeter, Other };
constexpr int BOARD_KINDS = 5;  // BoardKind's values, Other last

// "stand", "injector tester", "flowmeter", "delay meter", "other".
const char* boardName(BoardKind board);
// The kind of a board type id as device_connected announces it: "61" and "62" are stands.
BoardKind boardOfId(const std::string& id);

enum class ValueKind {
    Number,  // one number, with `unit` when known
    OnOff,   // 0 reads `offWord`, anything else `onWord`
    State,   // a code, shown as its number with its meaning from `states` when known
    List,    // numbers separated by ",", one per element of `elements`
    Chart,   // an oscillogram: many numbers, summarised (the page or screen plots them)
};

struct KeyInfo {
    const char* key = "";
    BoardKind board = BoardKind::Other;
    const char* label = "";  // "speed", at most 20 characters (a column of `top`)
    const char* unit = "";   // "rpm"; "" where the number is in the board's own unit
    ValueKind kind = ValueKind::Number;
    std::vector<std::string> elements;  // List: the elements' names, in the value's order
    const char* onWord = "on";          // OnOff: a value other than 0
    const char* offWord = "off";        // OnOff: 0
    std::vector<std::pair<long, std::string>> states;  // State: the meanings that are known
};

// Every key the daemon sends as a board's value, in the order of the protocol reference
// (device_connected, device_disconnected and the observers' status_ and monitor_ keys are
// events, not values, and are not in it).
const std::vector<KeyInfo>& keyTable();
// The key's row; nullptr for a key the table does not know.
const KeyInfo* findKey(const std::string& key);

struct Cell {
    std::string label;  // "min"; the key's label for a single value
    std::string text;   // "310", "on"
    std::string unit;   // "rpm", or empty
};

// Characters shown of one value's text; a longer text ends in "...".
constexpr std::size_t MAX_CELL_TEXT = 60;
// Characters shown of one list element.
constexpr std::size_t MAX_ELEMENT_TEXT = 24;

// A raw value as cells: one cell for a number, an on/off, a state or a chart; one per element
// for a list, labelled with the element's name (elements missing from the value read "-";
// values beyond the last element are kept in one more cell labelled "more"). An unknown key
// gives one cell labelled with the key. Every text is printable ASCII and bounded.
std::vector<Cell> formatValue(const std::string& key, const std::string& raw);
// The value as one line, without the key's label: "1502 rpm", "on", "min 310 · max 388 ·
// avg 350". `separator` goes between a list's elements (" | " where UTF-8 cannot be shown).
std::string formatLine(const std::string& key, const std::string& raw,
                       const char* separator = " \u00b7 ");

// Printable ASCII only, at most `limit` characters (cut with "..."): neither a terminal nor a
// page may receive control characters or unbounded text from the network.
std::string printable(const std::string& text, std::size_t limit);
