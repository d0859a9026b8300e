// The channels of the ports present, by device name.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "service/sync.h"

class Channel;

// One channel per device name present. The watcher alone inserts and erases, readers work on
// channelSnapshot(). See the lock order in service/runstate.h.
extern Mutex channelMapMutex;
extern std::map<std::string, std::shared_ptr<Channel>> channelMap GUARDED_BY(channelMapMutex);

// The channels in ascending name order, taken under channelMapMutex. Safe from any thread.
std::vector<std::pair<std::string, std::shared_ptr<Channel>>> channelSnapshot();
