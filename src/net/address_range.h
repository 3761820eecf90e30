// Address ranges ("192.0.2.0/24", "2001:db8::/32", one address alone) as --allow and 'kestod
// users trust' name them, and the ranges a peer counts in. For every per-address rule
// (connection caps, failed logins, logins per minute, fair sharing) an IPv4 address is its own
// group and an IPv6 address counts by its /64, which one host may hold whole. A peer's network
// is the /24 of an IPv4 address and the /48 of an IPv6 one. An IPv4 address mapped into IPv6
// counts as the IPv4 address throughout; an IPv6 range that holds ::ffff:0:0/96 (::/0, ::/80)
// therefore holds every IPv4 address too.
#pragma once

#include <sys/socket.h>

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "net/ip_address.h"
#include "support/result.h"

namespace velquor::net {

class AddressRange {
public:
    // "ADDR" or "ADDR/LEN", the length within the address's bits (32 for IPv4, 128 for IPv6);
    // an IPv6 address may be in [ ]. The bits beyond the length may be set ("192.0.2.77/24").
    // A usage error saying what is wrong with the text otherwise.
    static support::Result<AddressRange> parse(std::string_view text);
    // The range of the first length bits of the address, counted over its own bits.
    AddressRange(const IpAddress& address, int length);
    // The empty ::/128, the range of no peer but ::.
    AddressRange() = default;

    bool contains(const IpAddress& address) const;
    bool contains(const sockaddr* address) const;
    // False for a text that is no IP address.
    bool contains(std::string_view address) const;

    // The range in its usual form, the bits beyond the prefix cleared: "192.0.2.0/24".
    std::string text() const;
    const IpAddress& first() const { return m_first; }
    // Counted over the address's own bits: 24 for 192.0.2.0/24.
    int length() const;

    auto operator<=>(const AddressRange&) const = default;

private:
    IpAddress m_first;
    int m_bits = 128;  // over the 16 bytes, IPv4's 32 after the 96 of its mapping
};

// The range a peer counts in for every per-address rule: the IPv4 address itself, the /64 of
// an IPv6 one. A socket address of another family counts in the empty range.
AddressRange addressGroup(const IpAddress& address);
AddressRange addressGroup(const sockaddr* address);
// The peer's network: the /24 of an IPv4 address, the /48 of an IPv6 one.
AddressRange addressNetwork(const IpAddress& address);
AddressRange addressNetwork(const sockaddr* address);

// The same as text, as the server's records keep them: a group "192.0.2.7" or
// "2001:db8:1:2::/64", a network "192.0.2.0/24"; the text unchanged when it is no address.
std::string addressGroupText(std::string_view address);
std::string addressNetworkText(std::string_view address);

// Whether the address lies in one of the ranges of a space-separated list of range texts (as
// the stores keep a user's trusted ranges); a word that is no range holds nothing.
bool inAnyRange(std::string_view ranges, std::string_view address);

}  // namespace velquor::net

template <>
struct std::hash<velquor::net::AddressRange> {
    std::size_t operator()(const velquor::net::AddressRange& range) const noexcept;
};
