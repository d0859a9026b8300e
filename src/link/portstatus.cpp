#include "link/portstatus.h"

#include "link/channel.h"
#include "link/channelregistry.h"
#include "protocol/deviceids.h"

std::vector<PortStatus> portStatuses() {
    std::vector<PortStatus> ports;
    for (const auto& entry : channelSnapshot()) {
        const Channel& channel = *entry.second;
        // One read of the identity, so that the device and the flag belong together.
        const Channel::Identity identity = channel.identity();
        const unsigned char device = Channel::deviceOf(identity);
        ports.push_back({entry.first, device,
                         Channel::definedIn(identity) && device != known_devices::UNKNOWN,
                         channel.lowLatency(), channel.counterFigures()});
    }
    return ports;
}
