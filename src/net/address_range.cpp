// Address ranges, groups and networks; see address_range.h.
#include "net/address_range.h"

#include <charconv>

namespace velquor::net {
namespace {

constexpr int kMappedBits = 96;  // ::ffff:0:0/96, before an IPv4 address's own 32 bits
constexpr int kGroupBits = 64;
constexpr int kIpv4NetworkBits = 24;
constexpr int kIpv6NetworkBits = 48;

int ownBits(const IpAddress& address) {
    return address.isIpv4() ? 32 : 128;
}

support::Error badRange(std::string_view text, const std::string& why) {
    return support::makeError(support::ErrorCode::Usage, "'" + std::string(text) + "' " + why);
}

}  // namespace

AddressRange::AddressRange(const IpAddress& address, int length)
    : m_first(address.keepingPrefix(length + 128 - ownBits(address))),
      m_bits(length + 128 - ownBits(address)) {}

support::Result<AddressRange> AddressRange::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view written = text.substr(0, slash);
    const auto address = IpAddress::parse(written);
    if (!address) return badRange(text, "is not an IPv4 or IPv6 address, with or without /LEN");
    // The length counts the bits of the form written: ::ffff:192.0.2.0/120 is 192.0.2.0/24.
    const int most = written.find(':') == std::string_view::npos ? 32 : 128;
    int length = most;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            length < 0 || length > most) {
            return badRange(text,
                            "has a prefix length after / that is not a whole number from 0 "
                            "to " +
                                std::to_string(most));
        }
    }
    AddressRange range;
    range.m_bits = length + 128 - most;
    range.m_first = address->keepingPrefix(range.m_bits);
    return range;
}

bool AddressRange::contains(const IpAddress& address) const {
    return address.keepingPrefix(m_bits) == m_first;
}

bool AddressRange::contains(const sockaddr* address) const {
    const auto ip = IpAddress::of(address);
    return ip && contains(*ip);
}

bool AddressRange::contains(std::string_view address) const {
    const auto ip = IpAddress::parse(address);
    return ip && contains(*ip);
}

int AddressRange::length() const {
    return m_first.isIpv4() && m_bits >= kMappedBits ? m_bits - kMappedBits : m_bits;
}

std::string AddressRange::text() const {
    return m_first.text() + "/" + std::to_string(length());
}

AddressRange addressGroup(const IpAddress& address) {
    return AddressRange(address, address.isIpv4() ? 32 : kGroupBits);
}

AddressRange addressGroup(const sockaddr* address) {
    const auto ip = IpAddress::of(address);
    return ip ? addressGroup(*ip) : AddressRange();
}

AddressRange addressNetwork(const IpAddress& address) {
    return AddressRange(address, address.isIpv4() ? kIpv4NetworkBits : kIpv6NetworkBits);
}

AddressRange addressNetwork(const sockaddr* address) {
    const auto ip = IpAddress::of(address);
    return ip ? addressNetwork(*ip) : AddressRange();
}

std::string addressGroupText(std::string_view address) {
    const auto ip = IpAddress::parse(address);
    if (!ip) return std::string(address);
    return ip->isIpv4() ? ip->text() : addressGroup(*ip).text();
}

std::string addressNetworkText(std::string_view address) {
    const auto ip = IpAddress::parse(address);
    return ip ? addressNetwork(*ip).text() : std::string(address);
}

bool inAnyRange(std::string_view ranges, std::string_view address) {
    const auto ip = IpAddress::parse(address);
    if (!ip) return false;
    while (!ranges.empty()) {
        const std::size_t space = ranges.find(' ');
        const auto range = AddressRange::parse(ranges.substr(0, space));
        if (range && range->contains(*ip)) return true;
        if (space == std::string_view::npos) break;
        ranges.remove_prefix(space + 1);
    }
    return false;
}

}  // namespace velquor::net

std::size_t std::hash<velquor::net::AddressRange>::operator()(
    const velquor::net::AddressRange& range) const noexcept {
    std::size_t hash = static_cast<std::size_t>(range.length());
    for (const std::uint8_t byte : range.first().bytes()) hash = hash * 131 + byte;
    return hash;
}
