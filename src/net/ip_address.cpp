// IP addresses; see ip_address.h.
#include "net/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace velquor::net {
namespace {

constexpr std::array<std::uint8_t, 12> kMappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
    const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
    const std::string bare(bracketed ? text.substr(1, text.size() - 2) : text);
    IpAddress address;
    if (!bracketed && ::inet_pton(AF_INET, bare.c_str(), address.m_bytes.data() + 12) == 1) {
        std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), address.m_bytes.begin());
        return address;
    }
    if (::inet_pton(AF_INET6, bare.c_str(), address.m_bytes.data()) == 1) return address;
    return std::nullopt;
}

std::optional<IpAddress> IpAddress::of(const sockaddr* address) {
    if (address == nullptr) return std::nullopt;
    IpAddress ip;
    if (address->sa_family == AF_INET) {
        std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), ip.m_bytes.begin());
        std::memcpy(ip.m_bytes.data() + 12,
                    &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return ip;
    }
    if (address->sa_family == AF_INET6) {
        std::memcpy(ip.m_bytes.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr,
                    16);
        return ip;
    }
    return std::nullopt;
}

bool IpAddress::isIpv4() const {
    return std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), m_bytes.begin());
}

std::string IpAddress::text() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (isIpv4()) {
        ::inet_ntop(AF_INET, m_bytes.data() + 12, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET6, m_bytes.data(), text, sizeof text);
    }
    return text;
}

IpAddress IpAddress::keepingPrefix(int prefixBits) const {
    IpAddress kept = *this;
    for (int bit = std::max(prefixBits, 0); bit < 128; ++bit) {
        kept.m_bytes[static_cast<std::size_t>(bit / 8)] &=
            static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
    return kept;
}

std::string addressText(const sockaddr* address) {
    const auto ip = IpAddress::of(address);
    return ip ? ip->text() : "-";
}

}  // namespace velquor::net
