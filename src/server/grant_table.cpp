// Login grants and the failed-login throttle; see grant_table.h.
#include "server/grant_table.h"

namespace velquor::server {

namespace {

// Past this many entries a map is swept of stale ones, so a flood of names or addresses
// cannot grow memory without bound.
constexpr std::size_t kSweepThreshold = 4096;

}  // namespace

void GrantTable::grant(std::string_view user, std::string_view peer) {
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    if (m_grants.size() >= kSweepThreshold) pruneExpired(now);
    m_grants[{std::string(user), std::string(peer)}] = now + m_lifetime;
}

bool GrantTable::holds(std::string_view user, std::string_view peer) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_grants.find(std::pair<std::string, std::string>(user, peer));
    return found != m_grants.end() && Clock::now() < found->second;
}

void GrantTable::revokeUser(std::string_view user) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_grants.begin(); it != m_grants.end();) {
        it = it->first.first == user ? m_grants.erase(it) : std::next(it);
    }
}

void GrantTable::pruneExpired(Clock::time_point now) {
    for (auto it = m_grants.begin(); it != m_grants.end();) {
        it = it->second <= now ? m_grants.erase(it) : std::next(it);
    }
}

bool LoginThrottle::below(Counts& counts, std::string_view key, int limit,
                          Clock::time_point now) {
    const auto found = counts.find(key);
    if (found == counts.end()) return true;
    if (now - found->second.windowStart >= m_limits.window) {
        counts.erase(found);
        return true;
    }
    return found->second.failures < limit;
}

void LoginThrottle::bump(Counts& counts, std::string_view key, Clock::time_point now) {
    if (counts.size() >= kSweepThreshold) {
        for (auto it = counts.begin(); it != counts.end();) {
            it = now - it->second.windowStart >= m_limits.window ? counts.erase(it)
                                                                 : std::next(it);
        }
    }
    auto [entry, inserted] = counts.try_emplace(std::string(key), Count{0, now});
    if (!inserted && now - entry->second.windowStart >= m_limits.window) {
        entry->second = Count{0, now};
    }
    ++entry->second.failures;
}

bool LoginThrottle::allows(std::string_view name, std::string_view peer) {
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    return below(m_byName, name, m_limits.failuresPerName, now) &&
           below(m_byAddress, peer, m_limits.failuresPerAddress, now);
}

void LoginThrottle::recordFailure(std::string_view name, std::string_view peer) {
    const auto now = Clock::now();
    std::lock_guard lock(m_mutex);
    bump(m_byName, name, now);
    bump(m_byAddress, peer, now);
}

}  // namespace velquor::server
