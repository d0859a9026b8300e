#include "client/addressfilter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

// ::ffff:a.b.c.d, an IPv4 address in IPv6 clothes.
bool mapped(const uint8_t* bytes) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes, prefix, sizeof prefix) == 0;
}

}  // namespace

std::string AddressFilter::parse(const std::string& text, Network& network) {
    const std::string bad = "'" + text + "' is not an address or network (ADDR or ADDR/PREFIX)";
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    network.bytes.fill(0);
    if (::inet_pton(AF_INET, address.c_str(), network.bytes.data()) == 1) {
        network.v4 = true;
    } else if (::inet_pton(AF_INET6, address.c_str(), network.bytes.data()) == 1) {
        network.v4 = false;
    } else {
        return bad;
    }
    const unsigned bits = network.v4 ? 32 : 128;
    network.prefix = bits;
    if (slash != std::string::npos) {
        const std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 3 ||
            prefix.find_first_not_of("0123456789") != std::string::npos) {
            return bad;
        }
        network.prefix = static_cast<unsigned>(std::stoul(prefix));
        if (network.prefix > bits) {
            return "'" + text + "': the prefix is longer than " + std::to_string(bits) + " bits";
        }
    }
    if (!network.v4 && network.prefix >= 96 && mapped(network.bytes.data())) {
        std::memmove(network.bytes.data(), network.bytes.data() + 12, 4);
        network.v4 = true;
        network.prefix -= 96;
    }
    // Host bits past the prefix are dropped (10.1.2.3/8 is 10.0.0.0/8), as routes take them.
    for (unsigned bit = network.prefix; bit < (network.v4 ? 32u : 128u); ++bit) {
        network.bytes[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
    }
    return "";
}

std::string AddressFilter::check(const std::string& text) {
    Network scratch{};
    return parse(text, scratch);
}

std::string AddressFilter::add(const std::string& text) {
    Network network{};
    std::string error = parse(text, network);
    if (error.empty()) {
        networks_.push_back(network);
    }
    return error;
}

bool AddressFilter::contains(const Network& network, bool v4, const uint8_t* bytes) {
    if (network.v4 != v4) {
        return false;
    }
    const unsigned whole = network.prefix / 8;
    if (std::memcmp(network.bytes.data(), bytes, whole) != 0) {
        return false;
    }
    const unsigned rest = network.prefix % 8;
    if (rest == 0) {
        return true;
    }
    const uint8_t mask = static_cast<uint8_t>(0xff00u >> rest);
    return (bytes[whole] & mask) == network.bytes[whole];
}

bool AddressFilter::allows(const sockaddr* peer, socklen_t length) const {
    if (networks_.empty()) {
        return true;
    }
    const uint8_t* v4 = nullptr;
    const uint8_t* v6 = nullptr;
    if (peer != nullptr && peer->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        v4 = reinterpret_cast<const uint8_t*>(
            &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr.s_addr);
    } else if (peer != nullptr && peer->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        v6 = reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr.s6_addr;
        if (mapped(v6)) {
            v4 = v6 + 12;
        }
    }
    for (const Network& network : networks_) {
        // A mapped peer also meets the IPv6 networks that cover it (::/0).
        if ((v4 != nullptr && contains(network, true, v4)) ||
            (v6 != nullptr && contains(network, false, v6))) {
            return true;
        }
    }
    return false;
}

std::string AddressFilter::describe(const sockaddr* peer, socklen_t length) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer != nullptr && peer->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, text,
                    sizeof text);
    } else if (peer != nullptr && peer->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const uint8_t* bytes = reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr.s6_addr;
        ::inet_ntop(mapped(bytes) ? AF_INET : AF_INET6, mapped(bytes) ? bytes + 12 : bytes, text,
                    sizeof text);
    }
    return text[0] == '\0' ? "unknown" : text;
}
