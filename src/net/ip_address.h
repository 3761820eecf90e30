// An IP address as this system compares, groups and writes it. An IPv4 address is held as its
// IPv6 mapping (::ffff:a.b.c.d), so that an IPv4 peer reaching an IPv6 socket and one reaching
// an IPv4 socket are the same address, and it is written as IPv4 either way.
#pragma once

#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velquor::net {

class IpAddress {
public:
    // "192.0.2.7", "2001:db8::7", "[2001:db8::7]", "::ffff:192.0.2.7" (the same as 192.0.2.7);
    // nothing for any other text, a host name included.
    static std::optional<IpAddress> parse(std::string_view text);
    // The address of an AF_INET or AF_INET6 socket address; nothing for another family.
    static std::optional<IpAddress> of(const sockaddr* address);

    bool isIpv4() const;
    // "192.0.2.7", "2001:db8::7": an IPv4 address (mapped or not) in dotted form.
    std::string text() const;
    // The 16 bytes, an IPv4 address as ::ffff:a.b.c.d.
    const std::array<std::uint8_t, 16>& bytes() const { return m_bytes; }
    // Its bits after the first prefixBits (counted over the 16 bytes) cleared.
    IpAddress keepingPrefix(int prefixBits) const;

    auto operator<=>(const IpAddress&) const = default;

private:
    std::array<std::uint8_t, 16> m_bytes{};
};

// The address of a socket as text, the one form every log and message uses; "-" for a socket
// address of another family or none.
std::string addressText(const sockaddr* address);

}  // namespace velquor::net
