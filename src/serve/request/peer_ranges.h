// The address ranges allowed to fetch (--allow CIDR): IPv4 (10.0.0.0/8, 192.0.2.7) and IPv6
// (fd00::/8) ranges; an IPv4 peer reaching an IPv6 socket as ::ffff:a.b.c.d counts as a.b.c.d.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace velquor::serve {

struct PeerRange {
    std::array<std::uint8_t, 16> address{};  // IPv4 as ::ffff:a.b.c.d
    int prefixBits = 128;                    // counted over the 16 bytes
};

// "10.0.0.0/8", "192.0.2.7", "2001:db8::/32"; an error says what is wrong with the text.
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

// The peer's address as text ("192.0.2.7", "2001:db8::7"), an IPv4-mapped one as IPv4.
std::string peerText(const sockaddr* peer);

}  // namespace velquor::serve
