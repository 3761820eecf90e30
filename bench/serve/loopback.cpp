#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace velquor::bench {
namespace {

constexpr unsigned kHostsPerSubnet = 250;

sockaddr_in socketAddress(in_addr_t address, std::uint16_t port) {
    sockaddr_in socket{};
    socket.sin_family = AF_INET;
    socket.sin_port = htons(port);
    socket.sin_addr.s_addr = address;
    return socket;
}

}  // namespace

in_addr_t loopbackSource(unsigned block, unsigned index) {
    const unsigned subnet = index / kHostsPerSubnet;
    const unsigned host = 1 + index % kHostsPerSubnet;
    return htonl((127u << 24) | ((block & 0xff) << 16) | ((subnet & 0xff) << 8) | host);
}

std::string addressText(in_addr_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr value{address};
    return ::inet_ntop(AF_INET, &value, text, sizeof text) != nullptr ? text : "?";
}

int connectFrom(in_addr_t source, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // The port is chosen at connect, per destination: thousands of connections from one
    // address do not run out of the ports bind alone would give.
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
    const sockaddr_in from = socketAddress(source, 0);
    const sockaddr_in to = socketAddress(htonl(INADDR_LOOPBACK), port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
         errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = socketAddress(htonl(INADDR_LOOPBACK), 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool waitUntilAnswering(std::uint16_t port, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    const sockaddr_in to = socketAddress(htonl(INADDR_LOOPBACK), port);
    while (std::chrono::steady_clock::now() < end) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        ::close(fd);
        if (answered) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace velquor::bench
