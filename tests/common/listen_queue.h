// Whether a server has taken the connections made to it: the kernel's queue of connections
// made and not yet accepted on a listening port, waited on until it is empty.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velquor::testing {

// The connections waiting to be taken on the listening sockets of this TCP port.
std::size_t waitingConnections(std::uint16_t port);

// True once no listening socket on this TCP port (IPv4 or IPv6) has a connection waiting to be
// accepted; false if one still has after `atMost`.
bool listenQueueEmptied(std::uint16_t port,
                        std::chrono::milliseconds atMost = std::chrono::seconds(10));

}  // namespace velquor::testing
