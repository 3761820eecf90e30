// Phones fetching over TFTP from one thread; see tftp_phones.h.
#include "tftp_phones.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>

#include "loopback.h"

namespace velquor::bench {

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::size_t kBlock = 512;
constexpr auto kRetry = std::chrono::seconds(1);
constexpr int kTries = 8;
constexpr unsigned kPhoneBlock = 1;
constexpr unsigned kSourceAddresses = 64;

sockaddr_in loopbackPort(std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

struct Fetch {
    int socket = -1;
    sockaddr_in server{};  // the listening port, then the transfer's
    bool serverKnown = false;
    std::string last;  // the last packet sent: the request or an acknowledgement
    std::uint16_t expected = 1;
    std::size_t bytes = 0;
    Steady::time_point started;
    Steady::time_point deadline;
    int tries = 0;
    ~Fetch() {
        if (socket >= 0) ::close(socket);
    }
};

class Storm {
public:
    Storm(const std::vector<std::string>& names, const TftpStorm& storm)
        : m_names(names),
          m_storm(storm),
          m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
          m_fetches(storm.inFlight) {}
    ~Storm() { ::close(m_epoll); }

    TftpStormOutcome run() {
        const Steady::time_point start = Steady::now();
        for (std::size_t slot = 0; slot < m_fetches.size(); ++slot) startNext(slot);
        epoll_event events[256];
        while (m_active > 0) {
            const int ready = ::epoll_wait(m_epoll, events, 256, 50);
            for (int i = 0; i < ready; ++i) receive(events[i].data.u32);
            const Steady::time_point now = Steady::now();
            if (now >= m_nextScan) {
                for (std::size_t slot = 0; slot < m_fetches.size(); ++slot) expire(slot, now);
                m_nextScan = now + std::chrono::milliseconds(50);
            }
        }
        m_outcome.seconds = std::chrono::duration<double>(Steady::now() - start).count();
        return m_outcome;
    }

private:
    bool dropped() { return m_storm.dropPercent > 0 && m_random() % 100 < m_storm.dropPercent; }

    void send(Fetch& fetch) {
        if (dropped()) return;
        ::sendto(fetch.socket, fetch.last.data(), fetch.last.size(), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&fetch.server), sizeof fetch.server);
    }

    void startNext(std::size_t slot) {
        m_fetches[slot].reset();
        if (m_next >= m_names.size()) return;
        auto fetch = std::make_unique<Fetch>();
        fetch->socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Each phone from one of a site's addresses, as the per-address caps see them.
        sockaddr_in local = loopbackPort(0);
        local.sin_addr.s_addr = loopbackSource(kPhoneBlock, m_next % kSourceAddresses);
        ::bind(fetch->socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        fetch->server = loopbackPort(m_storm.port);
        fetch->last = std::string("\0\1", 2) + m_names[m_next++] + '\0' + "octet" + '\0';
        fetch->started = Steady::now();
        fetch->deadline = fetch->started + kRetry;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(slot);
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fetch->socket, &event);
        send(*fetch);
        m_fetches[slot] = std::move(fetch);
        ++m_active;
    }

    void end(std::size_t slot, bool served) {
        served ? ++m_outcome.served : ++m_outcome.failed;
        m_outcome.slowestSeconds = std::max(
            m_outcome.slowestSeconds,
            std::chrono::duration<double>(Steady::now() - m_fetches[slot]->started).count());
        --m_active;
        startNext(slot);
    }

    // One packet a readiness, as the server sends one at a time (epoll tells again while
    // more wait): a look for a second would mostly be a call that finds nothing.
    void receive(std::size_t slot) {
        Fetch* fetch = m_fetches[slot].get();
        if (fetch == nullptr) return;
        char packet[kBlock + 4];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(fetch->socket, packet, sizeof packet, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0 || dropped()) return;
        if (got < 4 || packet[1] != 3) return end(slot, false);  // an error packet
        if (!fetch->serverKnown) {
            fetch->server = from;
            fetch->serverKnown = true;
        }
        const auto block = static_cast<std::uint16_t>((static_cast<unsigned char>(packet[2]) << 8) |
                                                      static_cast<unsigned char>(packet[3]));
        if (block != fetch->expected) {
            if (block == static_cast<std::uint16_t>(fetch->expected - 1)) send(*fetch);
            return;
        }
        const auto payload = static_cast<std::size_t>(got) - 4;
        fetch->bytes += payload;
        fetch->last = std::string("\0\4", 2) + std::string(packet + 2, 2);
        send(*fetch);
        ++fetch->expected;
        fetch->tries = 0;
        fetch->deadline = Steady::now() + kRetry;
        if (payload < kBlock) {
            const bool whole = m_storm.expectedBytes == 0 || fetch->bytes == m_storm.expectedBytes;
            end(slot, whole);
        }
    }

    void expire(std::size_t slot, Steady::time_point now) {
        Fetch* fetch = m_fetches[slot].get();
        if (fetch == nullptr || now < fetch->deadline) return;
        if (++fetch->tries > kTries) return end(slot, false);
        ++m_outcome.retries;
        fetch->deadline = now + kRetry;
        send(*fetch);
    }

    const std::vector<std::string>& m_names;
    TftpStorm m_storm;
    int m_epoll;
    std::vector<std::unique_ptr<Fetch>> m_fetches;
    std::size_t m_next = 0;
    std::size_t m_active = 0;
    Steady::time_point m_nextScan;
    std::mt19937 m_random{7};
    TftpStormOutcome m_outcome;
};

}  // namespace

TftpStormOutcome fetchOverTftp(const std::vector<std::string>& names, const TftpStorm& storm) {
    return Storm(names, storm).run();
}

std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = loopbackPort(0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    ::close(fd);
    return ntohs(bound.sin_port);
}

}  // namespace velquor::bench
