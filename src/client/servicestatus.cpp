#include "client/servicestatus.h"

#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"

std::string boardDescription(const std::string& port, int device) {
    const known_devices::BoardType* type = known_devices::boardType(device);
    return port + " " + (type != nullptr ? type->kind : "board") + " " + std::to_string(device);
}

std::string serviceStatus(bool clientConnected) {
    std::string boards;
    int count = 0;
    for (const auto& entry : channelSnapshot()) {
        const Channel::Identity identity = entry.second->identity();
        if (!Channel::definedIn(identity)) {
            continue;
        }
        const int device = Channel::deviceOf(identity);
        boards += (count == 0 ? "" : ", ") + boardDescription(entry.first, device);
        ++count;
    }
    std::string status = std::to_string(count) + (count == 1 ? " board" : " boards") +
                         " identified" + (count == 0 ? "" : " (" + boards + ")");
    return status + (clientConnected ? "; client connected" : "; no client");
}
