// Channels for tests that want the boards driven as the daemon drives them: the bench's
// dispatch, profiles and board-gone handling.
#pragma once

#include <chrono>

#include "bench/boards.h"
#include "link/channel.h"

namespace testing_support {

inline ChannelOptions boardOptions(bool startThreads, std::chrono::milliseconds startPause) {
    ChannelOptions options;
    options.startThreads = startThreads;
    options.startPause = startPause;
    options.board = &benchBoards();
    return options;
}

}  // namespace testing_support
