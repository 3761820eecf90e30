// The per-address login limit; see login_rate.h.
#include "server/guard/login_rate.h"

namespace velquor::server {

bool LoginRateLimit::reserve(const std::string& peer, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    // Addresses that stopped logging in are forgotten now and then, so the map stays small.
    if (now - m_lastSweep >= kWindow) {
        for (auto it = m_recent.begin(); it != m_recent.end();) {
            it = !it->second.empty() && now - it->second.back() < kWindow ? std::next(it)
                                                                          : m_recent.erase(it);
        }
        m_lastSweep = now;
    }
    auto& recent = m_recent[peer];
    while (!recent.empty() && now - recent.front() >= kWindow) recent.pop_front();
    if (recent.size() >= m_perAddress) return false;
    recent.push_back(now);
    return true;
}

void LoginRateLimit::cancel(const std::string& peer) {
    std::lock_guard lock(m_mutex);
    const auto found = m_recent.find(peer);
    if (found != m_recent.end() && !found->second.empty()) found->second.pop_back();
}

}  // namespace velquor::server
