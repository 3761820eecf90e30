// The group a peer address counts in for every per-address rule (failed logins, logins per
// minute, connection caps, fair sharing): an IPv4 address is its own group, an IPv6 address
// counts by its /64, which one host may hold whole ("2001:db8:1:2::/64"); an IPv4 address
// mapped into IPv6 counts as the IPv4 address. Grants stay with the exact address.
#pragma once

#include <string>
#include <string_view>

namespace velquor::server {

std::string peerGroupOf(std::string_view peer);

}  // namespace velquor::server
