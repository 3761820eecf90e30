// Address ranges; see peer_ranges.h.
#include "serve/request/peer_ranges.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace velquor::serve {
namespace {

constexpr std::array<std::uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool sixteenBytes(const sockaddr* peer, std::array<std::uint8_t, 16>& bytes) {
    if (peer == nullptr) return false;
    if (peer->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(peer);
        std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin());
        std::memcpy(bytes.data() + 12, &v4->sin_addr, 4);
        return true;
    }
    if (peer->sa_family == AF_INET6) {
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, 16);
        return true;
    }
    return false;
}

support::Error badRange(std::string_view text, std::string_view why) {
    return support::makeError(support::ErrorCode::Usage,
                              "--allow " + std::string(text) + ": " + std::string(why));
}

}  // namespace

support::Result<PeerRange> parsePeerRange(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string address(text.substr(0, slash));
    PeerRange range;
    int maxBits = 0;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), range.address.begin());
        std::memcpy(range.address.data() + 12, &v4, 4);
        maxBits = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        std::memcpy(range.address.data(), &v6, 16);
        maxBits = 128;
    } else {
        return badRange(text, "not an IPv4 or IPv6 address with an optional /prefix length");
    }
    int bits = maxBits;
    if (slash != std::string_view::npos) {
        const std::string_view length = text.substr(slash + 1);
        const auto [end, error] =
            std::from_chars(length.data(), length.data() + length.size(), bits);
        if (error != std::errc() || end != length.data() + length.size() || length.empty() ||
            bits < 0 || bits > maxBits)
            return badRange(text, "the prefix length must be 0 to " + std::to_string(maxBits));
    }
    range.prefixBits = bits + (128 - maxBits);
    return range;
}

bool PeerRanges::allows(const sockaddr* peer) const {
    if (m_ranges.empty()) return true;
    std::array<std::uint8_t, 16> bytes{};
    if (!sixteenBytes(peer, bytes)) return false;
    for (const PeerRange& range : m_ranges) {
        int bits = range.prefixBits;
        bool inside = true;
        for (std::size_t i = 0; i < 16 && bits > 0 && inside; ++i, bits -= 8) {
            const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
            inside = (bytes[i] & mask) == (range.address[i] & mask);
        }
        if (inside) return true;
    }
    return false;
}

std::string peerText(const sockaddr* peer) {
    std::array<std::uint8_t, 16> bytes{};
    if (!sixteenBytes(peer, bytes)) return "-";
    char text[INET6_ADDRSTRLEN] = {};
    if (std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin()))
        inet_ntop(AF_INET, bytes.data() + 12, text, sizeof text);
    else
        inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    return text;
}

}  // namespace velquor::serve
