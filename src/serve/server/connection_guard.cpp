// The phone server's own account of its connections; see connection_guard.h.
#include "serve/server/connection_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace velquor::serve {

struct ConnectionGuard::Tracked {
    int fd = -1;
    net::AddressRange group;
    const std::size_t* heldByGroup = nullptr;  // its group's count in m_heldByGroup
    Steady::time_point waitingSince;
    bool requestWhole = false;
    bool keptAlive = false;
    bool shut = false;
    std::size_t slot = 0;  // its place in m_open
};

namespace {

// The place a connection was admitted to, held for it between the library asking whether it
// may come in and telling it is open: both happen on the accepting thread, one after the other.
struct Reservation {
    const ConnectionGuard* guard = nullptr;
    net::AddressRange group;
};
thread_local Reservation t_reserved;

}  // namespace

bool RoomCandidate::before(const RoomCandidate& other) const {
    if (tier != other.tier) return tier < other.tier;
    if (heldByGroup != other.heldByGroup) return heldByGroup > other.heldByGroup;
    return waitingSince < other.waitingSince;
}

std::optional<RoomCandidate> roomCandidate(const WaitingConnection& connection) {
    if (connection.requestWhole || connection.shut) return {};
    return RoomCandidate{connection.keptAlive ? 0 : 1, connection.heldByGroup,
                         connection.waitingSince};
}

ConnectionGuard::ConnectionGuard(GuardLimits limits) : m_limits(limits) {
    m_watch = std::thread([this] { watchDeadlines(); });
}

ConnectionGuard::~ConnectionGuard() {
    stop();
    for (Tracked* connection : m_open) delete connection;
}

void ConnectionGuard::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_watch.joinable()) m_watch.join();
}

bool ConnectionGuard::admit(const sockaddr* peer) {
    net::AddressRange group = net::addressGroup(peer);
    std::lock_guard lock(m_mutex);
    if (t_reserved.guard == this) {  // the library gave up on the one admitted before
        forget(t_reserved.group);
        --m_reserved;
        t_reserved.guard = nullptr;
    }
    const auto held = m_heldByGroup.find(group);
    if (held != m_heldByGroup.end() && held->second >= m_limits.perAddress) {
        ++m_counts.refusedPerAddress;
        return false;
    }
    while (takenPlaces() >= m_limits.maxConnections) {
        if (!makeRoom()) {
            ++m_counts.refusedFull;
            return false;
        }
    }
    ++m_heldByGroup[group];
    ++m_reserved;
    t_reserved = Reservation{this, std::move(group)};
    return true;
}

ConnectionGuard::Tracked* ConnectionGuard::opened(int fd, const sockaddr* peer) {
    auto* connection = new Tracked;
    connection->fd = fd;
    connection->waitingSince = Steady::now();
    std::lock_guard lock(m_mutex);
    if (t_reserved.guard == this) {
        connection->group = std::move(t_reserved.group);
        --m_reserved;
        t_reserved.guard = nullptr;
    } else {
        connection->group = net::addressGroup(peer);
        ++m_heldByGroup[connection->group];
    }
    // The count stays where it is while any connection of its group is open.
    connection->heldByGroup = &m_heldByGroup.find(connection->group)->second;
    connection->slot = m_open.size();
    m_open.push_back(connection);
    if (m_watchIdle) m_wake.notify_all();
    return connection;
}

void ConnectionGuard::closed(Tracked* connection) {
    {
        std::lock_guard lock(m_mutex);
        if (connection->shut) --m_shut;
        forget(connection->group);
        Tracked* last = m_open.back();
        m_open[connection->slot] = last;
        last->slot = connection->slot;
        m_open.pop_back();
    }
    delete connection;
}

void ConnectionGuard::requestArrived(Tracked* connection) {
    std::lock_guard lock(m_mutex);
    connection->requestWhole = true;
}

void ConnectionGuard::answerEnded(Tracked* connection) {
    std::lock_guard lock(m_mutex);
    connection->requestWhole = false;
    connection->keptAlive = true;
    connection->waitingSince = Steady::now();
    if (m_watchIdle) m_wake.notify_all();
}

bool ConnectionGuard::leftWaiting(const Tracked* connection) const {
    std::lock_guard lock(m_mutex);
    return !connection->requestWhole && !connection->shut;
}

ConnectionCounts ConnectionGuard::counts() const {
    std::lock_guard lock(m_mutex);
    ConnectionCounts counts = m_counts;
    counts.open = m_open.size();
    counts.answering = static_cast<std::size_t>(std::count_if(
        m_open.begin(), m_open.end(), [](const Tracked* c) { return c->requestWhole; }));
    return counts;
}

std::size_t ConnectionGuard::takenPlaces() const {
    return m_open.size() - m_shut + m_reserved;
}

// Shuts the connection roomCandidate ranks first; false when every one must stay.
bool ConnectionGuard::makeRoom() {
    Tracked* chosen = nullptr;
    RoomCandidate best;
    for (Tracked* connection : m_open) {
        const auto candidate = roomCandidate(
            WaitingConnection{connection->requestWhole, connection->keptAlive, connection->shut,
                              *connection->heldByGroup, connection->waitingSince});
        if (candidate && (chosen == nullptr || candidate->before(best))) {
            chosen = connection;
            best = *candidate;
        }
    }
    if (chosen == nullptr) return false;
    shut(*chosen);
    ++m_counts.closedForRoom;
    return true;
}

void ConnectionGuard::shut(Tracked& connection) {
    ::shutdown(connection.fd, SHUT_RDWR);
    connection.shut = true;
    ++m_shut;
}

void ConnectionGuard::forget(const net::AddressRange& group) {
    const auto held = m_heldByGroup.find(group);
    if (held != m_heldByGroup.end() && --held->second == 0) m_heldByGroup.erase(held);
}

namespace {
constexpr auto kWatchGranularity = std::chrono::milliseconds(100);
}  // namespace

// Shuts each connection whose request has not come whole by its deadline, then sleeps until
// the next deadline (or, with none, until a connection waits for one).
void ConnectionGuard::watchDeadlines() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        const auto now = Steady::now();
        auto next = Steady::time_point::max();
        for (Tracked* connection : m_open) {
            if (connection->shut || connection->requestWhole) continue;
            const auto due = connection->waitingSince + m_limits.deadline;
            if (due <= now) {
                shut(*connection);
                ++m_counts.closedPastDeadline;
            } else {
                next = std::min(next, due);
            }
        }
        if (next == Steady::time_point::max()) {
            m_watchIdle = true;
            m_wake.wait(lock);
            m_watchIdle = false;
        } else {
            // Deadlines a moment apart are taken in one pass: a flood of connections costs a
            // few passes a second over them, not one a connection.
            m_wake.wait_until(lock, std::max(next, now + kWatchGranularity));
        }
    }
}

}  // namespace velquor::serve
