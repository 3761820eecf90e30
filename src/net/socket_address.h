// The socket addresses a host stands for, as a server binds them.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "net/host_address.h"
#include "support/result.h"

namespace velquor::net {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    int family() const { return storage.ss_family; }
};

// Every IPv4 and IPv6 address the host stands for, each once, with the port: an IP address
// itself (no look-up), a name what it resolves to in the resolver's order. A network error
// naming the host when a name resolves to no address.
support::Result<std::vector<SocketAddress>> socketAddresses(const HostAddress& host,
                                                            std::uint16_t port);

}  // namespace velquor::net
