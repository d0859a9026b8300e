// The kinds of board the simulator can play, by the name used on its command line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BoardModel;

namespace board_kinds {
// "stand" (61), "stand62" (62), "crit" (34), "crit0303" (33), "flowmeter" (12),
// "delaymeter" (5), "crsd" (2).
const std::vector<std::string>& names();
bool known(const std::string& kind);
// A new board of that kind, or nullptr for an unknown kind.
std::unique_ptr<BoardModel> make(const std::string& kind, uint32_t seed);
}  // namespace board_kinds
