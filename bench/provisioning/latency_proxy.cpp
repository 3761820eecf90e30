// The accept loop and the per-connection delay lines of LatencyProxy; see latency_proxy.h.
#include "latency_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <random>
#include <stdexcept>
#include <vector>

namespace velquor::testing {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting thread looks at the stop flag.
constexpr int kStopCheckMs = 50;

sockaddr_in loopbackAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        throw std::runtime_error("latency proxy: '" + address + "' is not an IPv4 address");
    }
    return where;
}

void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Bytes read from one side, to be written to the other no earlier than due; an empty chunk with
// end set passes on the sender's end of stream.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;
};

// One direction of a connection: what was read from `from` and is still to reach `to`.
struct DelayLine {
    int from;
    int to;
    std::deque<Chunk> pending;
    bool readClosed = false;
    bool broken = false;

    bool done() const { return broken || (readClosed && pending.empty()); }
    bool dueNow(Clock::time_point now) const {
        return !pending.empty() && pending.front().due <= now;
    }

    void readAvailable(std::chrono::milliseconds delay) {
        char buffer[16384];
        const ssize_t n = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            pending.push_back(
                Chunk{Clock::now() + delay, std::string(buffer, static_cast<std::size_t>(n))});
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            // A reset is passed on as an end of stream: the peer sees the other side go away.
            readClosed = true;
            pending.push_back(Chunk{Clock::now() + delay, {}, true});
        }
    }

    void deliverDue(Clock::time_point now) {
        while (!broken && dueNow(now)) {
            Chunk& chunk = pending.front();
            if (chunk.end) {
                ::shutdown(to, SHUT_WR);
                pending.pop_front();
                continue;
            }
            const ssize_t n =
                ::send(to, chunk.bytes.data(), chunk.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
                broken = true;
                return;
            }
            chunk.bytes.erase(0, static_cast<std::size_t>(n));
            if (!chunk.bytes.empty()) return;
            pending.pop_front();
        }
    }
};

int millisecondsUntil(Clock::time_point when) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, kStopCheckMs));
}

}  // namespace

LatencyProxy::LatencyProxy(std::string targetAddress, std::uint16_t targetPort,
                           std::chrono::milliseconds oneWay, std::chrono::milliseconds jitter,
                           JitterOrder order)
    : m_targetAddress(std::move(targetAddress)),
      m_targetPort(targetPort),
      m_oneWay(oneWay),
      m_jitter(jitter),
      m_order(order),
      m_random(std::random_device{}()) {
    (void)loopbackAddress(m_targetAddress, m_targetPort);  // refuse a bad address now
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where = loopbackAddress("127.0.0.1", 0);
    socklen_t length = sizeof where;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&where), length) != 0 ||
        ::listen(m_listener, SOMAXCONN) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        const std::string why = std::strerror(errno);
        if (m_listener >= 0) ::close(m_listener);
        throw std::runtime_error("latency proxy: cannot listen on loopback: " + why);
    }
    m_port = ntohs(where.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

LatencyProxy::~LatencyProxy() {
    m_stopping = true;
    m_acceptor.join();
    ::close(m_listener);
    std::lock_guard lock(m_relaysMutex);
    for (auto& relay : m_relays) relay->thread.join();
}

std::chrono::milliseconds LatencyProxy::delayOf(std::size_t connection) {
    if (m_order == JitterOrder::LaterFirst) {
        const auto stepsLeft =
            static_cast<long>(kOvertakingRound - 1 - connection % kOvertakingRound);
        return m_oneWay + m_jitter * stepsLeft / static_cast<long>(kOvertakingRound - 1);
    }
    return m_oneWay + std::chrono::milliseconds(m_random() % (m_jitter.count() + 1));
}

void LatencyProxy::acceptLoop() {
    while (!m_stopping) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, kStopCheckMs) <= 0) continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        // The connect to the server is not delayed: on loopback it cannot fail for want of
        // time, and a refusal is passed on at once as a closed connection.
        const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = loopbackAddress(m_targetAddress, m_targetPort);
        if (upstream < 0 ||
            ::connect(upstream, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            if (upstream >= 0) ::close(upstream);
            ::close(client);
            continue;
        }
        noDelay(client);
        noDelay(upstream);
        const std::size_t connection = m_accepted++;
        const std::size_t open = ++m_open;
        for (std::size_t most = m_mostAtOnce; open > most;) {
            if (m_mostAtOnce.compare_exchange_weak(most, open)) break;
        }
        reapFinished();
        std::lock_guard lock(m_relaysMutex);
        auto entry = std::make_unique<Relay>();
        Relay& self = *entry;
        m_relays.push_back(std::move(entry));
        const auto delay = delayOf(connection);
        self.thread = std::thread(
            [this, client, upstream, delay, &self] { relay(client, upstream, delay, self); });
    }
}

void LatencyProxy::reapFinished() {
    std::lock_guard lock(m_relaysMutex);
    for (auto it = m_relays.begin(); it != m_relays.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = m_relays.erase(it);
        } else {
            ++it;
        }
    }
}

void LatencyProxy::relay(int client, int upstream, std::chrono::milliseconds delay, Relay& self) {
    DelayLine lines[2] = {{client, upstream, {}}, {upstream, client, {}}};
    while (!m_stopping && !(lines[0].done() && lines[1].done()) && !lines[0].broken &&
           !lines[1].broken) {
        const auto now = Clock::now();
        for (auto& line : lines) line.deliverDue(now);
        pollfd fds[2] = {{client, 0, 0}, {upstream, 0, 0}};
        int timeout = kStopCheckMs;
        for (int i = 0; i < 2; ++i) {
            DelayLine& line = lines[i];
            if (!line.readClosed) fds[i].events |= POLLIN;
            if (line.dueNow(now)) fds[1 - i].events |= POLLOUT;  // `to` is the other socket
            if (!line.pending.empty()) {
                timeout = std::min(timeout, millisecondsUntil(line.pending.front().due));
            }
        }
        // A socket with nothing to wait for is left out, or its hang-up would wake us at once.
        for (auto& p : fds) {
            if (p.events == 0) p.fd = -1;
        }
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (!lines[i].readClosed && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                lines[i].readAvailable(delay);
            }
        }
    }
    ::close(client);
    ::close(upstream);
    --m_open;
    self.finished = true;
}

}  // namespace velquor::testing
