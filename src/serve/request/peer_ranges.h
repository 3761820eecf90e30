// The address ranges allowed to fetch (--allow): the ranges net::AddressRange reads, IPv4
// (10.0.0.0/8, 192.0.2.7) and IPv6 (fd00::/8); an IPv4 peer reaching an IPv6 socket as
// ::ffff:a.b.c.d counts as a.b.c.d.
#pragma once

#include <sys/socket.h>

#include <string_view>
#include <vector>

#include "net/address_range.h"
#include "support/result.h"

namespace velquor::serve {

using PeerRange = net::AddressRange;

// "10.0.0.0/8", "192.0.2.7", "2001:db8::/32"; a usage error naming --allow and saying what is
// wrong with the text.
support::Result<PeerRange> parsePeerRange(std::string_view text);

class PeerRanges {
public:
    void add(const PeerRange& range) { m_ranges.push_back(range); }
    // True for every peer when no range was given.
    bool allows(const sockaddr* peer) const;
    bool empty() const { return m_ranges.empty(); }

private:
    std::vector<PeerRange> m_ranges;
};

}  // namespace velquor::serve
