// Peer address groups; see peer_group.h.
#include "server/guard/address_group.h"

#include <arpa/inet.h>

#include <cstring>

namespace velquor::server {

std::string peerGroupOf(std::string_view peer) {
    const std::string text(peer);
    in6_addr six{};
    if (::inet_pton(AF_INET6, text.c_str(), &six) != 1) return text;  // IPv4, or not an address
    if (IN6_IS_ADDR_V4MAPPED(&six)) {
        char four[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &six.s6_addr[12], four, sizeof four);
        return four;
    }
    std::memset(&six.s6_addr[8], 0, 8);
    char prefix[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &six, prefix, sizeof prefix);
    return std::string(prefix) + "/64";
}

}  // namespace velquor::server
