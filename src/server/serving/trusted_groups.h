// The address groups that logged in lately, each until when: a full port keeps room for them.
// At most a bounded number are held; past it the ended ones go, then the one that ends first.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace velquor::server {

// How many groups a server remembers at most.
inline constexpr std::size_t kMostTrustedGroups = 65'536;

class TrustedGroups {
public:
    using Clock = std::chrono::steady_clock;

    explicit TrustedGroups(std::size_t most) : m_most(most) {}

    // The group is held until `until` (a later login moves it on).
    void remember(const std::string& group, Clock::time_point until, Clock::time_point now) {
        if (m_until.size() >= m_most && !m_until.contains(group)) {
            std::erase_if(m_until, [now](const auto& entry) { return entry.second <= now; });
            if (m_until.size() >= m_most) {
                m_until.erase(std::min_element(
                    m_until.begin(), m_until.end(),
                    [](const auto& a, const auto& b) { return a.second < b.second; }));
            }
        }
        m_until[group] = until;
    }

    // Whether the group logged in and its time has not ended at `now`.
    bool holds(const std::string& group, Clock::time_point now) const {
        const auto found = m_until.find(group);
        return found != m_until.end() && now < found->second;
    }

    std::size_t size() const { return m_until.size(); }

private:
    std::size_t m_most;
    std::map<std::string, Clock::time_point> m_until;
};

}  // namespace velquor::server
