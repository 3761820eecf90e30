// The TFTP tests' relay and probe; see tftp_test_support.h.
#include "tftp_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace velquor::testing {

namespace {

sockaddr_in loopback(std::uint16_t port, const std::string& address = "127.0.0.1") {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return to;
}

int boundSocket(const std::string& address = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = loopback(0, address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind a UDP socket on " + address);
    return fd;
}

std::uint16_t portOf(int fd) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

std::string number16(unsigned value) {
    return std::string{static_cast<char>((value >> 8) & 0xff), static_cast<char>(value & 0xff)};
}

}  // namespace

LossyRelay::LossyRelay(std::uint16_t serverPort, unsigned dropPercent, unsigned duplicatePercent)
    : m_serverPort(serverPort), m_dropPercent(dropPercent), m_duplicatePercent(duplicatePercent) {
    m_front = boundSocket();
    m_frontPort = portOf(m_front);
    if (::pipe2(m_wake, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    m_thread = std::thread([this] { run(); });
}

LossyRelay::~LossyRelay() {
    (void)!::write(m_wake[1], "x", 1);
    m_thread.join();
    for (auto& [port, session] : m_sessions) {
        ::close(session.toServer);
        for (auto& [from, front] : session.fronts) ::close(front);
    }
    ::close(m_front);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

bool LossyRelay::chance(unsigned percent) {
    m_random = m_random * 6364136223846793005ull + 1442695040888963407ull;
    return (m_random >> 33) % 100 < percent;
}

void LossyRelay::forward(int from, const char* data, std::size_t size, const sockaddr_in& to) {
    if (chance(m_dropPercent)) {
        ++m_dropped;
        return;
    }
    // An option acknowledgement is lost but never repeated: atftp gives up on a second one.
    const bool optionAck = size >= 2 && data[0] == 0 && data[1] == 6;
    const int copies = chance(m_duplicatePercent) && !optionAck ? 2 : 1;
    if (copies == 2) ++m_duplicated;
    for (int copy = 0; copy < copies; ++copy)
        ::sendto(from, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void LossyRelay::run() {
    char buffer[70000];
    for (;;) {
        // Which socket each entry stands for: the client's port and the server's port it
        // faces (0: the front, -1: towards the server).
        struct Role {
            std::uint16_t client;
            int serverPort;
        };
        std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_front, POLLIN, 0}};
        std::vector<Role> roles{{0, 0}, {0, 0}};
        for (auto& [client, session] : m_sessions) {
            fds.push_back({session.toServer, POLLIN, 0});
            roles.push_back({client, -1});
            for (auto& [serverPort, front] : session.fronts) {
                fds.push_back({front, POLLIN, 0});
                roles.push_back({client, serverPort});
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents != 0) return;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const ssize_t got = ::recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&peer), &length);
            if (got < 0) continue;
            const auto size = static_cast<std::size_t>(got);
            if (i == 1) {  // a client to the front: towards the listening port
                Session& session = m_sessions[ntohs(peer.sin_port)];
                if (session.toServer < 0) session.toServer = boundSocket();
                forward(session.toServer, buffer, size, loopback(m_serverPort));
            } else if (roles[i].serverPort < 0) {  // the server to a client
                Session& session = m_sessions[roles[i].client];
                const std::uint16_t serverPort = ntohs(peer.sin_port);
                int front = m_front;  // the listening port's answers come from the front
                if (serverPort != m_serverPort) {
                    auto [held, added] = session.fronts.try_emplace(serverPort, -1);
                    if (added) held->second = boundSocket();
                    front = held->second;
                }
                forward(front, buffer, size, loopback(roles[i].client));
            } else {  // a client to a transfer port's front
                forward(m_sessions[roles[i].client].toServer, buffer, size,
                        loopback(static_cast<std::uint16_t>(roles[i].serverPort)));
            }
        }
    }
}

UdpProbe::UdpProbe(const std::string& address) : m_socket(boundSocket(address)) {}

UdpProbe::~UdpProbe() {
    ::close(m_socket);
}

void UdpProbe::send(std::uint16_t port, const std::string& packet,
                    const std::string& address) const {
    const sockaddr_in to = loopback(port, address);
    ::sendto(m_socket, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
}

std::optional<Received> UdpProbe::receive(std::chrono::milliseconds limit) const {
    pollfd wait{m_socket, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    return pending();
}

std::optional<Received> UdpProbe::pending() const {
    char buffer[70000];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = ::recvfrom(m_socket, buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return std::nullopt;
    char address[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    return Received{std::string(buffer, static_cast<std::size_t>(got)), ntohs(from.sin_port),
                    address};
}

std::string readRequest(const std::string& file, std::initializer_list<std::string> options,
                        const std::string& mode) {
    std::string packet = number16(1) + file + '\0' + mode + '\0';
    for (const std::string& part : options) packet += part + '\0';
    return packet;
}

std::string ackPacket(std::uint16_t block) {
    return number16(4) + number16(block);
}

int opcodeOf(const std::string& packet) {
    if (packet.size() < 2) return -1;
    return (static_cast<unsigned char>(packet[0]) << 8) | static_cast<unsigned char>(packet[1]);
}

int errorCodeOf(const std::string& packet) {
    if (opcodeOf(packet) != 5 || packet.size() < 4) return -1;
    return (static_cast<unsigned char>(packet[2]) << 8) | static_cast<unsigned char>(packet[3]);
}

}  // namespace velquor::testing
