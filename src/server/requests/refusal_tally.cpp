// Counted refusals; see refusal_tally.h.
#include "server/requests/refusal_tally.h"

#include <algorithm>

#include "server/requests/request_log.h"

namespace velquor::server {

bool RefusalTally::count(const Refusal& refusal, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    const auto [kind, first] = m_kinds.try_emplace({refusal.reason, refusal.user},
                                                   Kind{now, refusal.port, refusal.reply, 0, {}});
    if (first) return true;
    ++kind->second.more;
    if (kind->second.groups.size() < kMostGroups) kind->second.groups.insert(refusal.group);
    return false;
}

RefusalTally::Clock::time_point RefusalTally::flush(Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    Clock::time_point next = Clock::time_point::max();
    for (auto it = m_kinds.begin(); it != m_kinds.end();) {
        Kind& kind = it->second;
        if (now - kind.since < kInterval) {
            next = std::min(next, kind.since + kInterval);
            ++it;
            continue;
        }
        if (kind.more == 0) {
            it = m_kinds.erase(it);
            continue;
        }
        const auto& [reason, user] = it->first;
        const std::string groups = kind.groups.size() >= kMostGroups
                                       ? std::to_string(kMostGroups) + " or more"
                                       : std::to_string(kind.groups.size());
        const std::string summary = reason + ": " + std::to_string(kind.more) + " more from " +
                                    groups + " address groups in the last " +
                                    std::to_string(kInterval.count()) + " s";
        writeLogLine(
            formatLogLine(std::chrono::system_clock::now(),
                          LogEntry{"*", kind.port, "LOGIN", user, {}, kind.reply, summary}));
        kind = Kind{now, kind.port, kind.reply, 0, {}};
        next = std::min(next, now + kInterval);
        ++it;
    }
    return next;
}

}  // namespace velquor::server
