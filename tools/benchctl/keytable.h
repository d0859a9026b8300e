// The telemetry keys the daemon sends, as a person reads them: the board that reports each,
// a label, a unit, and what kind of value it is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class BoardKind { Stand, Tester, Flowmeter, DelayMeter, Other };
constexpr int BOARD_KINDS = 5;

const char* boardName(BoardKind board);
BoardKind boardOfId(const std::string& id);

enum class ValueKind { Number, OnOff, State, List, Chart };

struct KeyInfo {
    const char* key = "";
    BoardKind board = BoardKind::Other;
    const char* label = "";
    const char* unit = "";
    ValueKind kind = ValueKind::Number;
    std::vector<std::string> elements;
};

const std::vector<KeyInfo>& keyTable();
const KeyInfo* findKey(const std::string& key);

struct Cell {
    std::string label;
    std::string text;
    std::string unit;
};

std::vector<Cell> formatValue(const std::string& key, const std::string& raw);
std::string formatLine(const std::string& key, const std::string& raw);
std::string printable(const std::string& text, std::size_t limit);
