// Who may connect to a port: networks written "ADDR[/PREFIX]", IPv4 or IPv6. A filter without
// networks lets everyone in. An IPv4 peer seen through an IPv6 socket (::ffff:10.1.2.3) is the
// IPv4 address it stands for, and a network written that way (::ffff:10.0.0.0/104) is the IPv4
// network it stands for.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class AddressFilter {
public:
    // Why `text` is not a network, or empty when it is one.
    static std::string check(const std::string& text);
    // Adds the network; returns what check() returns, and adds nothing on an error.
    std::string add(const std::string& text);
    bool empty() const { return networks_.empty(); }

    // Whether a peer, as accept() gives it, may connect. With networks, a peer of another
    // family (or none) may not.
    bool allows(const sockaddr* peer, socklen_t length) const;
    // The peer's address as text ("10.1.2.3", "2001:db8::1"; a mapped IPv4 peer as IPv4),
    // "unknown" for one of another family.
    static std::string describe(const sockaddr* peer, socklen_t length);

private:
    struct Network {
        bool v4;
        std::array<uint8_t, 16> bytes;  // the first 4 for IPv4; the bits past the prefix zero
        unsigned prefix;
    };
    static std::string parse(const std::string& text, Network& network);
    static bool contains(const Network& network, bool v4, const uint8_t* bytes);

    std::vector<Network> networks_;
};
