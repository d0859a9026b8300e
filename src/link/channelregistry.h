// The channels of the ports present, by device name.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class Channel;

// One channel per device name present. Guarded by channelMapMutex; the watcher alone
// inserts and erases, readers work on channelSnapshot().
extern std::map<std::string, std::shared_ptr<Channel>> channelMap;
extern std::mutex channelMapMutex;

// The channels in ascending name order, taken under channelMapMutex. Safe from any thread.
std::vector<std::pair<std::string, std::shared_ptr<Channel>>> channelSnapshot();
