// The guessing rule; see guessing_policy.h.
#include "net/guessing_policy.h"

#include <algorithm>

namespace velquor::net {

std::chrono::milliseconds holdLength(const MissLimit& limit, int earlierHolds) {
    std::chrono::milliseconds hold = limit.hold;
    for (int i = 0; i < earlierHolds && hold < limit.longestHold; ++i) hold *= 2;
    return std::min(hold, std::max(limit.hold, limit.longestHold));
}

std::chrono::milliseconds missHold(long long misses, const MissLimit& limit, int earlierHolds) {
    if (misses < limit.misses) return std::chrono::milliseconds(0);
    return holdLength(limit, earlierHolds);
}

GuessingDecision decideGuessing(const GuessingCounts& counts, const MissLimit& misses,
                                const PacedChecks& paced) {
    using std::chrono::milliseconds;
    if (const auto hold = missHold(counts.groupMisses, misses, counts.earlierHolds);
        hold > milliseconds(0)) {
        return {GuessingVerdict::GroupHeld, hold};
    }
    if (counts.proven) return {};
    if (counts.ownCheck) return {GuessingVerdict::Check, milliseconds(0), true};
    if (counts.pacedChecks >= paced.perPeriod) {
        const auto left = paced.period - counts.sinceOldest;
        return {GuessingVerdict::Paced, std::max(left, milliseconds(1))};
    }
    if (counts.pacedChecks >= paced.burst && counts.sinceLatest < paced.spacing()) {
        return {GuessingVerdict::Paced, paced.spacing() - counts.sinceLatest};
    }
    return {GuessingVerdict::Check, milliseconds(0), true, counts.pacedChecks + 1 == paced.burst};
}

}  // namespace velquor::net
