// What the server's address may be, for the client's settings and connection and for kestod's
// own addresses alike: an IPv4 address, an IPv6 address (bare or in [ ]) or a host name
// (dot-separated labels of letters, digits and inner hyphens, each of at most 63 characters,
// at most 253 in all without the one final dot a fully qualified name may end with).
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::net {

enum class HostKind { Ipv4, Ipv6, Name };

struct HostAddress {
    HostKind kind = HostKind::Name;
    // As connected to and bound: an IPv6 address without its brackets, a name as given.
    std::string address;

    bool isIp() const { return kind != HostKind::Name; }
    // As a certificate names it and a client asks for it: a name without its final dot.
    std::string certified() const;
};

// The address the text (spaces around it taken off) names, or why it names none.
support::Result<HostAddress> parseHostAddress(std::string_view text);

}  // namespace velquor::net
