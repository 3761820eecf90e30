// The groups a peer address counts in. For every per-address rule (failed logins, logins per
// minute, connection caps, fair sharing) an IPv4 address is its own group and an IPv6 address
// counts by its /64, which one host may hold whole ("2001:db8:1:2::/64"). For the guessing
// limit, which spares the owner's own network, the network is the /24 of an IPv4 address and
// the /48 of an IPv6 one. An IPv4 address mapped into IPv6 counts as the IPv4 address. Grants
// stay with the exact address.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::server {

std::string peerGroupOf(std::string_view peer);
std::string peerNetworkOf(std::string_view peer);

// An address or a range of them, "ADDR" or "ADDR/LEN", as the chief names it in 'kestod users
// trust'. IPv4 ranges also hold the same addresses mapped into IPv6.
class AddressRange {
public:
    // A clear error for anything but an IPv4 or IPv6 address with an optional prefix length
    // within the address's bits.
    static support::Result<AddressRange> parse(std::string_view text);

    bool contains(std::string_view peer) const;
    // The range in its usual form, with the bits beyond the prefix cleared: "192.0.2.0/24".
    std::string text() const;

private:
    bool m_four = false;
    int m_length = 0;
    std::array<std::uint8_t, 16> m_bytes{};
};

// Whether peer lies in one of the ranges in a space-separated list of AddressRange texts, as
// the stores read the ranges trusted for a user.
bool inAnyRange(std::string_view ranges, std::string_view peer);

}  // namespace velquor::server
