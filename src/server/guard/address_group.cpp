// Peer address groups and ranges; see address_group.h.
#include "server/guard/address_group.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <optional>

namespace velquor::server {

namespace {

// An address's bytes: 4 for IPv4 (also when mapped into IPv6), 16 for IPv6.
struct Address {
    bool four = false;
    std::array<std::uint8_t, 16> bytes{};
};

std::optional<Address> readAddress(std::string_view text) {
    const std::string copy(text);
    Address address;
    in_addr four{};
    if (::inet_pton(AF_INET, copy.c_str(), &four) == 1) {
        address.four = true;
        std::memcpy(address.bytes.data(), &four, 4);
        return address;
    }
    in6_addr six{};
    if (::inet_pton(AF_INET6, copy.c_str(), &six) != 1) return std::nullopt;
    if (IN6_IS_ADDR_V4MAPPED(&six)) {
        address.four = true;
        std::memcpy(address.bytes.data(), &six.s6_addr[12], 4);
        return address;
    }
    std::memcpy(address.bytes.data(), six.s6_addr, 16);
    return address;
}

// Clears every bit after the first length.
void keepPrefix(std::array<std::uint8_t, 16>& bytes, int length) {
    for (int bit = length; bit < 128; ++bit) {
        bytes[static_cast<std::size_t>(bit / 8)] &=
            static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    }
}

std::string addressText(const Address& address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(address.four ? AF_INET : AF_INET6, address.bytes.data(), text, sizeof text);
    return text;
}

// The address's prefix of length bits (of the IPv4 address for IPv4) as "ADDR/LEN"; the text
// unchanged when it is no address.
std::string prefixOf(std::string_view peer, int fourLength, int sixLength) {
    auto address = readAddress(peer);
    if (!address) return std::string(peer);
    const int length = address->four ? fourLength : sixLength;
    keepPrefix(address->bytes, length);
    if (address->four && length == 32) return addressText(*address);
    return addressText(*address) + "/" + std::to_string(length);
}

}  // namespace

std::string peerGroupOf(std::string_view peer) {
    return prefixOf(peer, 32, 64);
}

std::string peerNetworkOf(std::string_view peer) {
    return prefixOf(peer, 24, 48);
}

support::Result<AddressRange> AddressRange::parse(std::string_view text) {
    const auto slash = text.find('/');
    const auto address = readAddress(text.substr(0, slash));
    if (!address) {
        return support::makeError(
            support::ErrorCode::Usage,
            "'" + std::string(text) + "' is not an IPv4 or IPv6 address, with or without /LEN");
    }
    const int bits = address->four ? 32 : 128;
    int length = bits;
    if (slash != std::string_view::npos) {
        const auto digits = text.substr(slash + 1);
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
            length < 0 || length > bits) {
            return support::makeError(support::ErrorCode::Usage,
                                      "'" + std::string(text) +
                                          "': the prefix length after / must be " +
                                          "a whole number from 0 to " + std::to_string(bits));
        }
    }
    AddressRange range;
    range.m_four = address->four;
    range.m_length = length;
    range.m_bytes = address->bytes;
    keepPrefix(range.m_bytes, length);
    return range;
}

bool AddressRange::contains(std::string_view peer) const {
    auto address = readAddress(peer);
    if (!address || address->four != m_four) return false;
    keepPrefix(address->bytes, m_length);
    return address->bytes == m_bytes;
}

bool inAnyRange(std::string_view ranges, std::string_view peer) {
    while (!ranges.empty()) {
        const auto space = ranges.find(' ');
        const auto one = AddressRange::parse(ranges.substr(0, space));
        if (one && one->contains(peer)) return true;
        if (space == std::string_view::npos) break;
        ranges.remove_prefix(space + 1);
    }
    return false;
}

std::string AddressRange::text() const {
    return addressText(Address{m_four, m_bytes}) + "/" + std::to_string(m_length);
}

}  // namespace velquor::server
