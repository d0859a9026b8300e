// The screen of `benchctl top` as lines of text, from the model alone, so that the layout is
// tested without a terminal: a header (connection, daemon, client, observers, messages lost),
// the port table, the stand's speed, the latest values by board, then the charts as plots in
// the rows that are left.
#pragma once

#include <string>
#include <vector>

#include "topmodel.h"

class TopScreen {
public:
    // At most `height` lines of at most `width` characters each (UTF-8 braille in the plots
    // when `braille`, else ASCII only).
    static std::vector<std::string> compose(const TopModel& model, int width, int height,
                                            bool braille);
    // Cuts a UTF-8 line to `width` characters (each character one column wide).
    static std::string fit(const std::string& line, int width);
};
