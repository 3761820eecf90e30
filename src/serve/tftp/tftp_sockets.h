// The TFTP side's sockets: the listening one (bound, or handed over by systemd), and each
// transfer's own, connected to its client so that the kernel gives it that client's packets
// only. Internal to src/serve/tftp.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string_view>

#include "support/result.h"

namespace velquor::serve::tftp {

// A peer's socket address and its length, and the address of this machine its packet came to
// (AF_UNSPEC: not known), which answers leave from: on a machine of several addresses the
// phone expects them from the one it asked, whatever the route back would choose.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    sockaddr_storage reached{};
};

// The non-blocking UDP socket to listen on: the one systemd handed over for port (its
// LISTEN_FDS, when it was started by a socket unit), else a new one bound to address with the
// port replaced (IPv6 "any" taking IPv4 too).
support::Result<int> listeningSocket(const sockaddr_storage& address, std::uint16_t port);

// The port a bound socket has.
std::uint16_t boundPort(int socket);

// Reads one packet from the listening socket into buffer: its length (past size when it was
// cut short), or -1 as recvmsg; peer is who sent it and the address it came to.
ssize_t receiveRequest(int socket, char* buffer, std::size_t size, Endpoint& peer);
// Sends packet to peer from the listening socket, from the address peer's packet came to.
void sendFromListening(int socket, std::string_view packet, const Endpoint& peer);

// Chooses the transfer ports within [first, last], taking turns so that a port just freed is
// not taken again at once; any free port when both are 0.
class TransferPorts {
public:
    TransferPorts(std::uint16_t first, std::uint16_t last) : m_first(first), m_last(last) {}
    // A non-blocking socket bound to the address peer's packet came to (else local's) and a
    // port of the range, connected to peer; -1 when no port of the range is free or the system
    // refused.
    int open(const sockaddr_storage& local, const Endpoint& peer);

private:
    std::uint16_t m_first;
    std::uint16_t m_last;
    std::uint32_t m_next = 0;  // the offset in the range tried first
};

}  // namespace velquor::serve::tftp
