// Who may connect: networks as written, and the peers they let in, IPv4, IPv6 and IPv4 peers
// seen through IPv6.
#include "client/addressfilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A peer as accept() gives it: sockaddr_in for a dotted address, sockaddr_in6 otherwise.
struct Peer {
    explicit Peer(const std::string& text) {
        sockaddr_in v4{};
        sockaddr_in6 v6{};
        if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            std::memcpy(&storage, &v4, sizeof v4);
            length = sizeof v4;
        } else if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
            v6.sin6_family = AF_INET6;
            std::memcpy(&storage, &v6, sizeof v6);
            length = sizeof v6;
        } else {
            ADD_FAILURE() << "not an address: " << text;
        }
    }
    const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr_storage storage{};
    socklen_t length = 0;
};

}  // namespace

TEST(AddressFilter, NetworksLetInTheirPeersOnly) {
    struct Case {
        std::vector<std::string> networks;
        std::string peer;
        bool allowed;
    };
    const Case cases[] = {
        {{}, "10.1.2.3", true},
        {{"127.0.0.2"}, "127.0.0.2", true},
        {{"127.0.0.2"}, "127.0.0.1", false},
        {{"10.0.0.0/8"}, "11.0.0.1", false},
        // Host bits past the prefix do not matter.
        {{"10.1.2.3/8"}, "10.9.9.9", true},
        {{"192.168.1.128/25"}, "192.168.1.200", true},
        {{"192.168.1.128/25"}, "192.168.1.127", false},
        {{"0.0.0.0/0"}, "203.0.113.9", true},
        {{"0.0.0.0/0"}, "2001:db8::1", false},
        // A list: any of its networks.
        {{"10.0.0.0/8", "192.168.0.0/16"}, "192.168.4.4", true},
        {{"10.0.0.0/8", "192.168.0.0/16"}, "172.16.0.1", false},
        {{"2001:db8::/32"}, "2001:db8:ffff::1", true},
        {{"2001:db8::/32"}, "2001:db9::1", false},
        {{"::1"}, "127.0.0.1", false},
        {{"fe80::/10"}, "febf::1", true},
        {{"fe80::/10"}, "fec0::1", false},
        // An IPv4 peer through an IPv6 socket meets the IPv4 networks...
        {{"10.0.0.0/8"}, "::ffff:10.1.2.3", true},
        {{"127.0.0.2"}, "::ffff:127.0.0.2", true},
        // ...and a network written as mapped IPv4 is the IPv4 network.
        {{"::ffff:10.0.0.0/104"}, "10.200.0.1", true},
        {{"::ffff:10.0.0.0/104"}, "11.0.0.1", false},
        // An IPv6 network that covers the mapped range covers the mapped peer.
        {{"::/0"}, "::ffff:10.1.2.3", true},
        {{"::/0"}, "10.1.2.3", false},
    };
    for (const Case& c : cases) {
        std::string networks;
        for (const std::string& network : c.networks) {
            networks += network + " ";
        }
        SCOPED_TRACE(networks + "<- " + c.peer);
        AddressFilter filter;
        for (const std::string& network : c.networks) {
            ASSERT_EQ(filter.add(network), "");
        }
        const Peer peer(c.peer);
        EXPECT_EQ(filter.allows(peer.address(), peer.length), c.allowed);
    }
}

TEST(AddressFilter, BadNetworksAreToldAndNotAdded) {
    const std::string notOne = "is not an address or network (ADDR or ADDR/PREFIX)";
    const std::pair<std::string, std::string> cases[] = {
        {"localhost", "'localhost' " + notOne},
        {"10.0.0.256", "'10.0.0.256' " + notOne},
        {"10.0.0.0/", "'10.0.0.0/' " + notOne},
        {"10.0.0.0/8/8", "'10.0.0.0/8/8' " + notOne},
        {"fe80::1%eth0", "'fe80::1%eth0' " + notOne},
        {"[::1]", "'[::1]' " + notOne},
        {"10.0.0.0/33", "'10.0.0.0/33': the prefix is longer than 32 bits"},
        {"2001:db8::/129", "'2001:db8::/129': the prefix is longer than 128 bits"},
        {"10.0.0.0/1000", "'10.0.0.0/1000' " + notOne},
    };
    for (const auto& [text, error] : cases) {
        SCOPED_TRACE(text);
        AddressFilter filter;
        EXPECT_EQ(AddressFilter::check(text), error);
        EXPECT_EQ(filter.add(text), error);
        EXPECT_TRUE(filter.empty());
    }
}

TEST(AddressFilter, PeersAreDescribedAsTheirFamilySaysThem) {
    for (const auto& [peer, text] : {std::pair<std::string, std::string>{"10.1.2.3", "10.1.2.3"},
                                     {"2001:db8::1", "2001:db8::1"},
                                     {"::ffff:10.1.2.3", "10.1.2.3"}}) {
        const Peer address(peer);
        EXPECT_EQ(AddressFilter::describe(address.address(), address.length), text);
    }
    sockaddr_storage unix{};
    unix.ss_family = AF_UNIX;
    EXPECT_EQ(AddressFilter::describe(reinterpret_cast<sockaddr*>(&unix), sizeof unix), "unknown");
    AddressFilter loopback;
    ASSERT_EQ(loopback.add("127.0.0.0/8"), "");
    EXPECT_FALSE(loopback.allows(reinterpret_cast<sockaddr*>(&unix), sizeof unix));
}
