// The TFTP side's sockets; see tftp_sockets.h.
#include "serve/tftp/tftp_sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/uio.h>
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

bool isUnspecified(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
    return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
}

int environmentNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return -1;
    int value = -1;
    const auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
    return error == std::errc() && *end == '\0' ? value : -1;
}

// Asks that each packet read from socket tell the address it came to.
void askArrivalAddress(int socket) {
    const int on = 1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
    if (bound.ss_family == AF_INET6)
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    else
        ::setsockopt(socket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
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
        askArrivalAddress(fd);
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
    askArrivalAddress(fd);
    return fd;
}

ssize_t receiveRequest(int socket, char* buffer, std::size_t size, Endpoint& peer) {
    iovec bytes{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &peer.address;
    message.msg_namelen = sizeof peer.address;
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(socket, &message, MSG_TRUNC);
    peer.length = message.msg_namelen;
    peer.reached = {};
    if (got < 0) return got;
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level == IPPROTO_IPV6 && part->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(part), sizeof info);
            auto& reached = reinterpret_cast<sockaddr_in6&>(peer.reached);
            reached.sin6_family = AF_INET6;
            reached.sin6_addr = info.ipi6_addr;
            // A link-local address holds only on the link the packet came by.
            if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) reached.sin6_scope_id = info.ipi6_ifindex;
        } else if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(part), sizeof info);
            auto& reached = reinterpret_cast<sockaddr_in&>(peer.reached);
            reached.sin_family = AF_INET;
            reached.sin_addr = info.ipi_addr;
        }
    }
    return got;
}

namespace {

// Puts info in message's control part as the one ancillary item of that level and type.
template <typename Info>
void attachControl(msghdr& message, char* control, int level, int type, const Info& info) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(Info));
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = level;
    header->cmsg_type = type;
    header->cmsg_len = CMSG_LEN(sizeof(Info));
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
}

}  // namespace

void sendFromListening(int socket, std::string_view packet, const Endpoint& peer) {
    iovec bytes{const_cast<char*>(packet.data()), packet.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))]{};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_storage*>(&peer.address);
    message.msg_namelen = peer.length;
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    if (peer.reached.ss_family == AF_INET6) {
        in6_pktinfo info{};
        const auto& reached = reinterpret_cast<const sockaddr_in6&>(peer.reached);
        info.ipi6_addr = reached.sin6_addr;
        info.ipi6_ifindex = reached.sin6_scope_id;
        attachControl(message, control, IPPROTO_IPV6, IPV6_PKTINFO, info);
    } else if (peer.reached.ss_family == AF_INET) {
        in_pktinfo info{};
        info.ipi_spec_dst = reinterpret_cast<const sockaddr_in&>(peer.reached).sin_addr;
        attachControl(message, control, IPPROTO_IP, IP_PKTINFO, info);
    }
    ::sendmsg(socket, &message, MSG_DONTWAIT);
}

int TransferPorts::open(const sockaddr_storage& local, const Endpoint& peer) {
    sockaddr_storage bound = peer.reached.ss_family != AF_UNSPEC ? peer.reached : local;
    const int fd = datagramSocket(bound.ss_family);
    if (fd < 0) return -1;
    const std::uint32_t span = m_first == 0 ? 1 : std::uint32_t{m_last} - m_first + 1;
    // Any port from any address: connect binds the socket itself, to the address its route
    // to the peer leaves from.
    bool done = m_first == 0 && isUnspecified(bound);
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
