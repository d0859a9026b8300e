#include "link/channelregistry.h"

#include "link/channel.h"

Mutex channelMapMutex;
std::map<std::string, std::shared_ptr<Channel>> channelMap;

std::vector<std::pair<std::string, std::shared_ptr<Channel>>> channelSnapshot() {
    MutexLock lock(channelMapMutex);
    return {channelMap.begin(), channelMap.end()};
}
