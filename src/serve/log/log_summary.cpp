// Counting a flood's records by their kind; see log_summary.h.
#include "serve/log/log_summary.h"

#include "net/address_range.h"

namespace velquor::serve {

namespace {

const char* reasonOf(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 414:
            return "path too long";
        case 431:
            return "headers too large";
        default:
            return "refused";
    }
}

}  // namespace

std::string summaryText(const FetchRecord& summary) {
    return std::to_string(summary.status) + " " + reasonOf(summary.status) + ": " +
           std::to_string(summary.more) + " more from " + summary.peer + " in the last " +
           std::to_string(LogSummary::kInterval.count()) + " s";
}

bool LogSummary::isCounted(const FetchRecord& record, bool namesSitePhone) {
    if (record.status < 400 || record.byPhoneCheck()) return false;
    return record.status != 404 || !namesSitePhone;
}

bool LogSummary::admit(const FetchRecord& record, bool namesSitePhone, Steady::time_point now) {
    if (!isCounted(record, namesSitePhone)) return true;
    std::string network = net::addressNetworkText(record.peer);
    std::lock_guard lock(m_mutex);
    if (m_kinds.size() >= kMostKinds && !m_kinds.contains({record.status, network})) network = "*";
    const auto [kind, first] =
        m_kinds.try_emplace({record.status, std::move(network)}, Kind{now, 0});
    if (first) return true;
    ++kind->second.more;
    return false;
}

std::vector<FetchRecord> LogSummary::due(Steady::time_point now, bool all) {
    std::vector<FetchRecord> lines;
    std::lock_guard lock(m_mutex);
    for (auto it = m_kinds.begin(); it != m_kinds.end();) {
        Kind& kind = it->second;
        if (!all && now - kind.since < kInterval) {
            ++it;
            continue;
        }
        if (kind.more == 0) {
            // A quiet interval: the next refusal of this kind is again logged as it is.
            it = m_kinds.erase(it);
            continue;
        }
        FetchRecord line;
        line.time = Clock::now();
        line.peer = it->first.second;
        line.method = "*";
        line.status = it->first.first;
        line.completed = true;
        line.more = kind.more;
        lines.push_back(std::move(line));
        kind = Kind{now, 0};
        ++it;
    }
    return lines;
}

}  // namespace velquor::serve
