#include "boardkinds.h"

#include <algorithm>

#include "critmodel.h"
#include "delaymetermodel.h"
#include "flowmetermodel.h"
#include "standmodel.h"

namespace board_kinds {

const std::vector<std::string>& names() {
    static const std::vector<std::string> kinds = {"stand",     "stand62",    "crit", "crit0303",
                                                   "flowmeter", "delaymeter", "crsd"};
    return kinds;
}

bool known(const std::string& kind) {
    return std::find(names().begin(), names().end(), kind) != names().end();
}

std::unique_ptr<BoardModel> make(const std::string& kind, uint32_t seed) {
    if (kind == "stand") {
        return std::make_unique<StandModel>(61, seed);
    }
    if (kind == "stand62") {
        return std::make_unique<StandModel>(62, seed);
    }
    if (kind == "crit") {
        return std::make_unique<CritModel>(34, seed);
    }
    if (kind == "crit0303") {
        return std::make_unique<CritModel>(33, seed);
    }
    if (kind == "flowmeter") {
        return std::make_unique<FlowmeterModel>(seed);
    }
    if (kind == "delaymeter") {
        return std::make_unique<DelayMeterModel>(seed);
    }
    if (kind == "crsd") {
        // A pressure regulator driver answers its version and nothing else.
        return std::make_unique<BoardModel>(2, std::array<unsigned char, 3>{1, 1, 0}, seed);
    }
    return nullptr;
}

}  // namespace board_kinds
