// Successful logins, each a full password hash of work, limited per address within a minute,
// as failed ones are in the store.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace velquor::server {

// Successful logins per peer address within a sliding minute. Thread-safe.
class LoginRateLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kWindow{1};

    explicit LoginRateLimit(std::size_t perAddress) : m_perAddress(perAddress) {}

    // Reserves a login of this address, or false when its logins of the last minute reached
    // the limit. A login that fails gives its reservation back with cancel().
    bool reserve(const std::string& peer, Clock::time_point now = Clock::now());
    void cancel(const std::string& peer);

private:
    std::mutex m_mutex;
    std::size_t m_perAddress;
    std::map<std::string, std::deque<Clock::time_point>> m_recent;
    Clock::time_point m_lastSweep{};
};

}  // namespace velquor::server
