// Address ranges; see peer_ranges.h.
#include "serve/request/peer_ranges.h"

#include <algorithm>

namespace velquor::serve {

support::Result<PeerRange> parsePeerRange(std::string_view text) {
    auto range = net::AddressRange::parse(text);
    if (!range) return support::makeError(range.error().code, "--allow " + range.error().message);
    return range;
}

bool PeerRanges::allows(const sockaddr* peer) const {
    if (m_ranges.empty()) return true;
    const auto address = net::IpAddress::of(peer);
    return address && std::any_of(m_ranges.begin(), m_ranges.end(),
                                  [&](const PeerRange& range) { return range.contains(*address); });
}

}  // namespace velquor::serve
