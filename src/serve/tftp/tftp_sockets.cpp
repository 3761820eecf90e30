// The TFTP side's sockets; see tftp_sockets.h.
#include "serve/tftp/tftp_sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serve/tftp/tftp_server.h"

namespace velquor::serve::tftp {

using support::makeError;

namespace {

// The first descriptor systemd hands over.
constexpr int kFirstActivatedSocket = 3;

void setPort(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
}

socklen_t lengthOf(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int environmentNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return -1;
    int value = -1;
    const auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
    return error == std::errc() && *end == '\0' ? value : -1;
}

// The datagram socket systemd handed this process for port, or -1.
int activatedSocket(std::uint16_t port) {
    if (environmentNumber("LISTEN_PID") != static_cast<int>(::getpid())) return -1;
    const int count = environmentNumber("LISTEN_FDS");
    for (int fd = kFirstActivatedSocket; fd < kFirstActivatedSocket + count; ++fd) {
        int type = 0;
        socklen_t size = sizeof type;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_DGRAM)
            continue;
        if (boundPort(fd) != port) continue;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    return -1;
}

int datagramSocket(int family) {
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && family == AF_INET6) {
        const int off = 0;  // an IPv6 socket takes IPv4 peers too, as mapped addresses
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    return fd;
}

}  // namespace

std::string bindFailure(std::uint16_t port, int err) {
    std::string text =
        "cannot serve TFTP on port " + std::to_string(port) + ": " + std::strerror(err);
    if ((err == EACCES || err == EPERM) && port < 1024) {
        text +=
            ". Ports below 1024 are kept for privileged programs, and this one runs as an "
            "ordinary user. Either serve on a port above 1024 (--tftp-port 6969) and give "
            "the phones tftp://HOST:6969/ in DHCP option 66; or let the installed program "
            "bind low ports (sudo setcap cap_net_bind_service=+ep \"$(command -v "
            "velquor-cli)\"); or start it from the packaged systemd socket, which binds port "
            "69 and hands it over (systemctl enable --now velquor-tftp.socket)";
    }
    return text;
}

support::Result<std::pair<std::uint16_t, std::uint16_t>> parsePortRange(std::string_view text) {
    auto number = [](std::string_view part) -> std::optional<std::uint16_t> {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc() || end != part.data() + part.size() || value == 0 || value > 65535)
            return std::nullopt;
        return static_cast<std::uint16_t>(value);
    };
    const std::size_t dash = text.find('-');
    const auto first = number(text.substr(0, dash));
    const auto last = dash == std::string_view::npos ? std::nullopt : number(text.substr(dash + 1));
    if (!first || !last || *first > *last)
        return makeError(support::ErrorCode::Usage,
                         "--tftp-port-range " + std::string(text) +
                             ": give two ports A-B, 1 to 65535, A at most B (such as 6970-6999)");
    return std::pair{*first, *last};
}

std::uint16_t boundPort(int socket) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    if (bound.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(bound).sin6_port);
    if (bound.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    return 0;
}

support::Result<int> listeningSocket(const sockaddr_storage& address, std::uint16_t port) {
    if (const int activated = activatedSocket(port); activated >= 0) return activated;
    sockaddr_storage local = address;
    setPort(local, port);
    const int fd = datagramSocket(local.ss_family);
    if (fd < 0) return makeError(support::ErrorCode::Network, bindFailure(port, errno));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), lengthOf(local)) != 0) {
        const int err = errno;
        ::close(fd);
        return makeError(support::ErrorCode::Network, bindFailure(port, err));
    }
    return fd;
}

int TransferPorts::open(const sockaddr_storage& local, const Endpoint& peer) {
    const int fd = datagramSocket(local.ss_family);
    if (fd < 0) return -1;
    sockaddr_storage bound = local;
    const std::uint32_t span = m_first == 0 ? 1 : std::uint32_t{m_last} - m_first + 1;
    bool done = false;
    for (std::uint32_t tried = 0; tried < span && !done; ++tried) {
        const std::uint32_t offset = (m_next + tried) % span;
        setPort(bound, m_first == 0 ? 0 : static_cast<std::uint16_t>(m_first + offset));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), lengthOf(bound)) == 0) {
            done = true;
            m_next = offset + 1;
        } else if (errno != EADDRINUSE) {
            break;
        }
    }
    if (!done ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&peer.address), peer.length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace velquor::serve::tftp
