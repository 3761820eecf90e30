#include "attackers.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "loopback.h"

namespace velquor::bench {
namespace {

using Clock = std::chrono::steady_clock;
// Each interval is cut into this many turns; each turn serves its share of the connections.
constexpr int kTurnsPerInterval = 20;

// What a dripping connection sends, a byte at a time: a request whose header never ends.
const std::string kDripStart = "GET /prov/drip.cfg HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Drip: ";
// The start of a ClientHello record that promises more bytes than ever follow.
const std::string kHandshakeStart("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);

struct Attacker {
    int fd = -1;
    std::size_t sent = 0;
    bool drips = false;
    in_addr_t source = 0;
};

// Whether the server has closed FD or answered on it (either ends this attacker's try).
bool serverEnded(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n > 0 || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

Attack::Attack(const AttackPlan& plan)
    : m_plan(plan), m_thread([this](std::stop_token stop) { run(stop); }) {}

Attack::~Attack() {
    m_thread.request_stop();
    if (m_thread.joinable()) m_thread.join();
}

AttackCounts Attack::counts() const {
    return {m_held.load(), m_opened.load(), m_closedByServer.load()};
}

void Attack::run(std::stop_token stop) {
    std::vector<Attacker> attackers;
    for (std::size_t i = 0; i < m_plan.dripConnections; ++i)
        attackers.push_back(
            {-1, 0, true, loopbackSource(2, static_cast<unsigned>(i % m_plan.dripAddresses))});
    for (std::size_t i = 0; i < m_plan.silentHandshakes; ++i)
        attackers.push_back(
            {-1, 0, false, loopbackSource(4, static_cast<unsigned>(i % m_plan.silentAddresses))});
    const auto turn = m_plan.dripInterval / kTurnsPerInterval;
    std::size_t next = 0;
    auto nextTurn = Clock::now();
    while (!stop.stop_requested()) {
        const std::size_t share = (attackers.size() + kTurnsPerInterval - 1) / kTurnsPerInterval;
        for (std::size_t n = 0; n < share && !attackers.empty(); ++n) {
            Attacker& attacker = attackers[next];
            next = (next + 1) % attackers.size();
            if (attacker.fd >= 0 && serverEnded(attacker.fd)) {
                ::close(attacker.fd);
                attacker.fd = -1;
                --m_held;
                ++m_closedByServer;
            }
            if (attacker.fd < 0) {
                attacker.fd = connectFrom(attacker.source,
                                          attacker.drips ? m_plan.httpPort : m_plan.httpsPort);
                attacker.sent = 0;
                if (attacker.fd < 0) continue;
                ++m_held;
                ++m_opened;
            }
            if (!attacker.drips) {
                // Once, when the connection is up (a connect still under way takes nothing).
                if (attacker.sent == 0 && ::send(attacker.fd, kHandshakeStart.data(),
                                                 kHandshakeStart.size(), MSG_NOSIGNAL) > 0)
                    attacker.sent = kHandshakeStart.size();
                continue;
            }
            const char byte = attacker.sent < kDripStart.size() ? kDripStart[attacker.sent] : 'a';
            if (::send(attacker.fd, &byte, 1, MSG_NOSIGNAL) == 1) ++attacker.sent;
        }
        nextTurn += turn;
        std::this_thread::sleep_until(nextTurn);
    }
    for (const Attacker& attacker : attackers)
        if (attacker.fd >= 0) ::close(attacker.fd);
    m_held = 0;
}

}  // namespace velquor::bench
