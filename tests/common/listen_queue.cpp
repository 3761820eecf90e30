// The accept queues of listening sockets, read from /proc/net/tcp and /proc/net/tcp6.
#include "listen_queue.h"

#include <fstream>
#include <sstream>
#include <string>

#include "wait_until.h"

namespace velquor::testing {
namespace {

constexpr const char* kListening = "0A";

// Connections waiting on the listening sockets of port in one table: for a listening socket
// the rx_queue field counts them.
unsigned long waitingIn(const char* table, std::uint16_t port) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    unsigned long waiting = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos || state != kListening) continue;
        if (std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
        const auto split = queues.find(':');
        if (split != std::string::npos)
            waiting += std::stoul(queues.substr(split + 1), nullptr, 16);
    }
    return waiting;
}

}  // namespace

std::size_t waitingConnections(std::uint16_t port) {
    return waitingIn("/proc/net/tcp", port) + waitingIn("/proc/net/tcp6", port);
}

bool listenQueueEmptied(std::uint16_t port, std::chrono::milliseconds atMost) {
    return waitUntil([port] { return waitingConnections(port) == 0; }, atMost);
}

}  // namespace velquor::testing
