// The request log's bound; see log_bound.h.
#include "server/requests/log_bound.h"

#include <algorithm>

namespace velquor::server {

bool LogBound::note(const std::string& group, std::uint16_t port, const std::string& reason,
                    Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    const auto found = m_tallies.find({group, reason});
    if (found != m_tallies.end()) {
        ++found->second.more;
        return false;
    }
    if (m_tallies.size() < m_mostAddresses) {
        m_tallies.emplace(std::make_pair(group, reason), Tally{now, port, 0});
        return true;
    }
    auto [beyond, first] = m_beyond.try_emplace(reason, Beyond{now, port, 0, {}});
    ++beyond->second.connections;
    if (beyond->second.groups.size() < kMostCounted) beyond->second.groups.insert(group);
    return false;
}

LogBound::Clock::time_point LogBound::flush(Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    Clock::time_point next = Clock::time_point::max();
    const std::string interval = std::to_string(kInterval.count()) + " s";
    for (auto it = m_tallies.begin(); it != m_tallies.end();) {
        Tally& tally = it->second;
        if (now - tally.since < kInterval) {
            next = std::min(next, tally.since + kInterval);
            ++it;
            continue;
        }
        if (tally.more == 0) {
            it = m_tallies.erase(it);
            continue;
        }
        const auto& [group, reason] = it->first;
        m_writer(
            group, tally.port,
            reason + " (" + std::to_string(tally.more) + " more in the last " + interval + ")");
        tally = Tally{now, tally.port, 0};
        next = std::min(next, now + kInterval);
        ++it;
    }
    for (auto it = m_beyond.begin(); it != m_beyond.end();) {
        Beyond& beyond = it->second;
        if (now - beyond.since < kInterval) {
            next = std::min(next, beyond.since + kInterval);
            ++it;
            continue;
        }
        const std::string addresses = beyond.groups.size() >= kMostCounted
                                          ? std::to_string(kMostCounted) + " or more"
                                          : std::to_string(beyond.groups.size());
        m_writer("*", beyond.port,
                 it->first + ": " + std::to_string(beyond.connections) + " connections from " +
                     addresses + " address groups in the last " + interval +
                     ", past the log's bound of " + std::to_string(m_mostAddresses) +
                     " address groups");
        it = m_beyond.erase(it);
    }
    return next;
}

}  // namespace velquor::server
