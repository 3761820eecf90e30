// Socket addresses of a host; see socket_address.h.
#include "net/socket_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "net/ip_address.h"

namespace velquor::net {
namespace {

void setPort(SocketAddress& address, std::uint16_t port) {
    if (address.family() == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address.storage).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address.storage).sin_port = htons(port);
    }
}

SocketAddress ipSocketAddress(const HostAddress& host) {
    SocketAddress socket;
    if (host.kind == HostKind::Ipv4) {
        auto& four = reinterpret_cast<sockaddr_in&>(socket.storage);
        four.sin_family = AF_INET;
        ::inet_pton(AF_INET, host.address.c_str(), &four.sin_addr);
        socket.length = sizeof four;
    } else {
        auto& six = reinterpret_cast<sockaddr_in6&>(socket.storage);
        six.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, host.address.c_str(), &six.sin6_addr);
        socket.length = sizeof six;
    }
    return socket;
}

support::Result<std::vector<SocketAddress>> resolved(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); rc != 0) {
        return support::makeError(support::ErrorCode::Network,
                                  "cannot resolve '" + name + "': " + ::gai_strerror(rc));
    }
    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
        SocketAddress address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        const auto same = [&](const SocketAddress& other) {
            return IpAddress::of(other.get()) == IpAddress::of(address.get());
        };
        if (std::none_of(addresses.begin(), addresses.end(), same)) addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    if (addresses.empty()) {
        return support::makeError(support::ErrorCode::Network,
                                  "cannot resolve '" + name + "': it has no IP address");
    }
    return addresses;
}

}  // namespace

support::Result<std::vector<SocketAddress>> socketAddresses(const HostAddress& host,
                                                            std::uint16_t port) {
    std::vector<SocketAddress> addresses;
    if (host.isIp()) {
        addresses.push_back(ipSocketAddress(host));
    } else {
        auto found = resolved(host.address);
        if (!found) return found.error();
        addresses = std::move(*found);
    }
    for (auto& address : addresses) setPort(address, port);
    return addresses;
}

}  // namespace velquor::net
