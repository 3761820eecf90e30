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
    milliseconds untilCheck(0);
    if (counts.pacedChecks >= paced.perPeriod) {
        untilCheck = std::max(paced.period - counts.sinceOldest, milliseconds(1));
    } else if (counts.pacedChecks >= paced.burst && counts.sinceLatest < paced.spacing()) {
        untilCheck = paced.spacing() - counts.sinceLatest;
    }
    // Waiting askers take the coming checks in the order they came: one whose turn came is
    // checked (or waits the moment left, its turn only just begun), any other waits a spacing
    // after the last one waiting.
    if (counts.canWait) {
        const bool othersWait = counts.lastTurnIn > milliseconds(0);
        if (counts.turnCame && untilCheck < paced.spacing()) {
            if (untilCheck > milliseconds(0)) return {GuessingVerdict::Wait, untilCheck};
        } else if (untilCheck > milliseconds(0) || othersWait) {
            const milliseconds turn = othersWait ? counts.lastTurnIn + paced.spacing() : untilCheck;
            return {GuessingVerdict::Wait, std::max(turn, untilCheck)};
        }
    }
    if (untilCheck > milliseconds(0)) return {GuessingVerdict::Paced, untilCheck};
    return {GuessingVerdict::Check, milliseconds(0), true, counts.pacedChecks + 1 == paced.burst};
}

}  // namespace velquor::net
