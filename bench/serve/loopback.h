// Loopback addresses for the phone-server benchmarks: every kind of peer (phones, attackers)
// comes from its own block 127.BLOCK.0.0/16, so that the server sees as many addresses as a
// site has, and a socket's source is chosen by bind() before connect().
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace velquor::bench {

// 127.BLOCK.x.y: the INDEX-th address (from 0) of BLOCK, in network order.
in_addr_t loopbackSource(unsigned block, unsigned index);

std::string addressText(in_addr_t address);

// A non-blocking TCP socket from SOURCE (its port left for connect to choose) to
// 127.0.0.1:PORT, its connect started; -1 when the connect failed at once.
int connectFrom(in_addr_t source, std::uint16_t port);

// A port of 127.0.0.1 nobody listens on at the moment.
std::uint16_t freePort();

// Waits until 127.0.0.1:PORT accepts a connection, at most LIMIT.
bool waitUntilAnswering(std::uint16_t port, std::chrono::seconds limit);

}  // namespace velquor::bench
