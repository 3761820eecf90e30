// The one rule for holding back askers who guess: kestod's logins and the phone server's
// files alike. decideGuessing is a pure function from the counts a caller keeps to the
// decision it then records: a group (an address, an IPv6 /64) that missed too often within a
// window is held, for longer at each repeat; checks shared by many askers (a network's unproven
// requests, a name's guesses from other networks) go a burst at once and then one per spacing,
// at most so many in a period. A proven or trusted asker is never paced. A network is never
// held as a whole: pacing refuses a request, never the group or the network for a time. An
// asker that already had an answer without proof on a connection of its own and asks again
// unproven may instead wait there for its turn: the waiting askers of a network take the
// coming shared checks one a spacing, in the order they came, so they cost nothing meanwhile.
#pragma once

#include <chrono>

namespace velquor::net {

// When misses from one group hold it back: at its `misses`-th miss within the window, for
// `hold`, and for twice the previous hold at each repeat offence, up to longestHold.
struct MissLimit {
    long long misses = 10;
    std::chrono::milliseconds hold = std::chrono::minutes(1);
    std::chrono::milliseconds longestHold = std::chrono::hours(1);
};

// How long a group is held after earlierHolds holds that are still remembered.
std::chrono::milliseconds holdLength(const MissLimit& limit, int earlierHolds);
// The hold misses within the window bring (zero when they bring none): a rule of its own
// where a caller counts narrower misses too (kestod: a name's from one group).
std::chrono::milliseconds missHold(long long misses, const MissLimit& limit, int earlierHolds);

// Checks shared by many askers: the first `burst` at once, then one every period / perPeriod,
// never more than perPeriod within a period.
struct PacedChecks {
    long long perPeriod = 60;
    long long burst = 20;
    std::chrono::milliseconds period = std::chrono::hours(1);

    std::chrono::milliseconds spacing() const {
        return perPeriod > 0 ? std::chrono::milliseconds(period.count() / perPeriod) : period;
    }
};

// What the caller read for one request.
struct GuessingCounts {
    long long groupMisses = 0;  // the group's misses within the miss limit's window
    int earlierHolds = 0;       // the group's earlier holds still remembered; 0 where none kept
    bool proven = false;        // the asker proved itself, or is trusted: never paced
    bool ownCheck = false;      // a check that takes nothing from the shared ones
    long long pacedChecks = 0;  // the shared checks taken within the period
    std::chrono::milliseconds sinceOldest{0};  // since the period's first shared check
    std::chrono::milliseconds sinceLatest{0};  // since the latest shared check
    // The asker may wait on its connection for a shared check rather than be refused.
    bool canWait = false;
    // The asker waited (canWait is set too) and its turn came: it is checked before those
    // waiting after it, or waits what is left of a spacing; a turn that finds the period's
    // checks spent waits again, after them.
    bool turnCame = false;
    // Until the turn of the network's last waiting asker; zero or less when none waits.
    std::chrono::milliseconds lastTurnIn{0};
};

enum class GuessingVerdict {
    Check,      // look: check the password, look the file up
    GroupHeld,  // the asker's group missed too often: held for holdFor
    Paced,      // the shared checks are used up: none for this request before holdFor
    Wait,       // as Paced, but the asker waits holdFor (its turn) and then asks again
};

struct GuessingDecision {
    GuessingVerdict verdict = GuessingVerdict::Check;
    // How long at least until a request like this one may be checked (for Wait, this asker's
    // turn, a spacing after the turn of the last one waiting); zero for a check.
    std::chrono::milliseconds holdFor{0};
    // The check counts among the shared ones (an unproven asker's), to be recorded.
    bool shared = false;
    // This check takes the last of the burst: from now on the shared checks are spaced out,
    // which is worth a line in a log.
    bool pacingStarts = false;
};

GuessingDecision decideGuessing(const GuessingCounts& counts, const MissLimit& misses,
                                const PacedChecks& paced);

}  // namespace velquor::net
