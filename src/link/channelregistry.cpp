#include "link/channelregistry.h"

#include "link/channel.h"

std::map<std::string, std::shared_ptr<Channel>> channelMap;
std::mutex channelMapMutex;

std::vector<std::pair<std::string, std::shared_ptr<Channel>>> channelSnapshot() {
    std::lock_guard<std::mutex> lock(channelMapMutex);
    return {channelMap.begin(), channelMap.end()};
}
