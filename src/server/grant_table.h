// The two pieces of shared state behind kestod's authorisation: the grants that a
// successful login gives (user, peer address, expiry) and the throttle on failed logins.
// Both are used from every worker thread at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace velquor::server {

using Clock = std::chrono::steady_clock;

class GrantTable {
public:
    explicit GrantTable(std::chrono::milliseconds lifetime) : m_lifetime(lifetime) {}

    void grant(std::string_view user, std::string_view peer);
    // True while a grant of this user to this peer address has not expired.
    bool holds(std::string_view user, std::string_view peer) const;
    // Drops every grant of the user, from every address (a deleted account).
    void revokeUser(std::string_view user);

private:
    void pruneExpired(Clock::time_point now);

    std::chrono::milliseconds m_lifetime;
    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Clock::time_point, std::less<>> m_grants;
};

// Counts failed logins per name and per address in a sliding window; once either count
// reaches its limit, logins for that name or from that address are refused until the
// window has passed, so a password cannot be guessed at network speed.
class LoginThrottle {
public:
    struct Limits {
        int failuresPerName = 10;
        int failuresPerAddress = 30;
        std::chrono::milliseconds window = std::chrono::minutes(5);
    };

    explicit LoginThrottle(Limits limits) : m_limits(limits) {}

    bool allows(std::string_view name, std::string_view peer);
    void recordFailure(std::string_view name, std::string_view peer);

private:
    struct Count {
        int failures = 0;
        Clock::time_point windowStart;
    };
    using Counts = std::map<std::string, Count, std::less<>>;

    bool below(Counts& counts, std::string_view key, int limit, Clock::time_point now);
    void bump(Counts& counts, std::string_view key, Clock::time_point now);

    Limits m_limits;
    std::mutex m_mutex;
    Counts m_byName;
    Counts m_byAddress;
};

}  // namespace velquor::server
