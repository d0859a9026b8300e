// What the boards mean, handed to the ports by the layer that knows them (bench/): a channel
// moves frames and runs the handshake; what a report says, how each board kind is programmed
// and what a board's going means to the rest of the daemon are not its business.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class Channel;
class Command;

// How a board kind is programmed once it has identified itself.
struct BoardProfile {
    // (report code, period in ms), in the order they are programmed.
    std::vector<std::pair<unsigned char, int>> schedule;
    // Written once after the schedule, unacknowledged (the delay meter's sensitivity).
    std::vector<std::unique_ptr<Command>> firstCommands;
};

struct BoardBehaviour {
    // One received data frame of the channel's board. The channel's decoder thread.
    std::function<void(Channel&, const Command&)> dispatch;
    // The profile of a board kind (empty for a kind this daemon does not drive). The
    // channel's sender thread, at each configuration: first commands carry current settings.
    std::function<BoardProfile(unsigned char device)> profile;
    // A board that had identified itself as `device` is gone (its port vanished or failed).
    // The watcher's thread, after the channel was retired.
    std::function<void(unsigned char device)> gone;
};
