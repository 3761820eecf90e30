// The guessing rule alone: when a group is held and for how long, how a repeat offender's hold
// grows, and how shared checks are paced without ever holding a network or slowing a proven
// asker.
#include "net/guessing_policy.h"

#include <gtest/gtest.h>

namespace velquor::net {
namespace {

using namespace std::chrono_literals;

const MissLimit kMisses{10, 1min, 1h};
const PacedChecks kPaced{60, 20, 1min};  // a burst of 20, then one a second

GuessingCounts missed(long long misses, int earlierHolds = 0) {
    GuessingCounts counts;
    counts.groupMisses = misses;
    counts.earlierHolds = earlierHolds;
    return counts;
}

GuessingCounts paced(long long checks, std::chrono::milliseconds sinceLatest,
                     std::chrono::milliseconds sinceOldest = 30s) {
    GuessingCounts counts;
    counts.pacedChecks = checks;
    counts.sinceLatest = sinceLatest;
    counts.sinceOldest = sinceOldest;
    return counts;
}

TEST(GuessingPolicy, aGroupIsHeldAtItsLimitOfMissesAndNotBefore) {
    const auto below = decideGuessing(missed(9), kMisses, kPaced);
    EXPECT_EQ(below.verdict, GuessingVerdict::Check);
    EXPECT_TRUE(below.shared) << "an unproven asker's look counts among the shared ones";
    const auto at = decideGuessing(missed(10), kMisses, kPaced);
    EXPECT_EQ(at.verdict, GuessingVerdict::GroupHeld);
    EXPECT_EQ(at.holdFor, 1min);
    GuessingCounts proven = missed(10);
    proven.proven = true;
    EXPECT_EQ(decideGuessing(proven, kMisses, kPaced).verdict, GuessingVerdict::GroupHeld)
        << "a group that guessed is held whatever it proves afterwards";
}

TEST(GuessingPolicy, aRepeatOffendersHoldDoublesUpToTheLongest) {
    EXPECT_EQ(holdLength(kMisses, 0), 1min);
    EXPECT_EQ(holdLength(kMisses, 1), 2min);
    EXPECT_EQ(holdLength(kMisses, 3), 8min);
    EXPECT_EQ(holdLength(kMisses, 6), 1h);
    EXPECT_EQ(holdLength(kMisses, 1000), 1h) << "no overflow, however often";
    EXPECT_EQ(decideGuessing(missed(12, 2), kMisses, kPaced).holdFor, 4min);
    EXPECT_EQ(missHold(3, kMisses, 5), 0ms);
    EXPECT_EQ(holdLength(MissLimit{10, 5min, 1min}, 4), 5min)
        << "a longest hold under the first never shortens it";
}

TEST(GuessingPolicy, sharedChecksGoABurstAtOnceThenOneASpacing) {
    for (long long checks = 0; checks < 20; ++checks) {
        const auto decision = decideGuessing(paced(checks, 0ms), kMisses, kPaced);
        EXPECT_EQ(decision.verdict, GuessingVerdict::Check) << checks;
        EXPECT_EQ(decision.pacingStarts, checks == 19) << checks;
    }
    const auto soon = decideGuessing(paced(20, 400ms), kMisses, kPaced);
    EXPECT_EQ(soon.verdict, GuessingVerdict::Paced);
    EXPECT_EQ(soon.holdFor, 600ms);
    EXPECT_EQ(decideGuessing(paced(20, 1s), kMisses, kPaced).verdict, GuessingVerdict::Check);
    const auto spent = decideGuessing(paced(60, 10s, 45s), kMisses, kPaced);
    EXPECT_EQ(spent.verdict, GuessingVerdict::Paced) << "no more than the period's checks";
    EXPECT_EQ(spent.holdFor, 15s) << "until the period's first check leaves it";
    EXPECT_EQ(decideGuessing(paced(60, 10s, 2min), kMisses, kPaced).holdFor, 1ms);
}

TEST(GuessingPolicy, pacingNeverSlowsAProvenAskerNorTakesAnOwnCheck) {
    GuessingCounts proven = paced(60, 0ms);
    proven.proven = true;
    const auto decision = decideGuessing(proven, kMisses, kPaced);
    EXPECT_EQ(decision.verdict, GuessingVerdict::Check);
    EXPECT_FALSE(decision.shared) << "a proven asker's look takes nothing from the others";
    GuessingCounts own = paced(60, 0ms);
    own.ownCheck = true;
    const auto owned = decideGuessing(own, kMisses, kPaced);
    EXPECT_EQ(owned.verdict, GuessingVerdict::Check);
    EXPECT_TRUE(owned.shared);
    EXPECT_FALSE(owned.pacingStarts);
}

TEST(GuessingPolicy, pacingRefusesARequestAndHoldsNoGroup) {
    // However spent a network's checks are, an asker of it with few misses is paced request by
    // request (the next look comes within a spacing), never held for the miss limit's hold.
    const auto decision = decideGuessing(paced(1000, 0ms, 59s), kMisses, kPaced);
    EXPECT_EQ(decision.verdict, GuessingVerdict::Paced);
    EXPECT_LE(decision.holdFor, kPaced.period);
    EXPECT_LT(decideGuessing(paced(25, 0ms), kMisses, kPaced).holdFor, kMisses.hold);
}

TEST(GuessingPolicy, anAskerOnItsOwnConnectionWaitsItsTurnInsteadOfARefusal) {
    GuessingCounts waiting = paced(20, 400ms);
    waiting.canWait = true;
    const auto first = decideGuessing(waiting, kMisses, kPaced);
    EXPECT_EQ(first.verdict, GuessingVerdict::Wait);
    EXPECT_EQ(first.holdFor, 600ms) << "the first to wait waits for the next check";
    waiting.lastTurnIn = 600ms;
    const auto second = decideGuessing(waiting, kMisses, kPaced);
    EXPECT_EQ(second.verdict, GuessingVerdict::Wait);
    EXPECT_EQ(second.holdFor, 1600ms) << "the next one a spacing after the last waiting";
    GuessingCounts free = paced(20, 2s);
    free.canWait = true;
    free.lastTurnIn = 300ms;
    EXPECT_EQ(decideGuessing(free, kMisses, kPaced).verdict, GuessingVerdict::Wait)
        << "a check that is free goes to those already waiting, not to a newcomer";
    free.turnCame = true;
    EXPECT_EQ(decideGuessing(free, kMisses, kPaced).verdict, GuessingVerdict::Check)
        << "the one whose turn came is checked before those waiting after it";
    GuessingCounts early = paced(20, 900ms);
    early.canWait = true;
    early.turnCame = true;
    early.lastTurnIn = 5s;
    const auto inPlace = decideGuessing(early, kMisses, kPaced);
    EXPECT_EQ(inPlace.verdict, GuessingVerdict::Wait);
    EXPECT_EQ(inPlace.holdFor, 100ms) << "a turn come a moment early keeps its place";
    GuessingCounts capped = paced(60, 2s, 50s);
    capped.canWait = true;
    capped.turnCame = true;
    capped.lastTurnIn = 30s;
    EXPECT_EQ(decideGuessing(capped, kMisses, kPaced).holdFor, 31s)
        << "a turn that finds the period's checks spent goes after the last one waiting";
    GuessingCounts spent = paced(60, 0ms, 50s);
    spent.canWait = true;
    EXPECT_EQ(decideGuessing(spent, kMisses, kPaced).holdFor, 10s) << "the period's cap holds";
    GuessingCounts proven = waiting;
    proven.proven = true;
    EXPECT_EQ(decideGuessing(proven, kMisses, kPaced).verdict, GuessingVerdict::Check)
        << "a proven asker never waits";
    GuessingCounts guesser = waiting;
    guesser.groupMisses = 10;
    EXPECT_EQ(decideGuessing(guesser, kMisses, kPaced).verdict, GuessingVerdict::GroupHeld);
    EXPECT_EQ(decideGuessing(paced(5, 0ms), kMisses, kPaced).verdict, GuessingVerdict::Check);
    GuessingCounts refused = paced(20, 400ms);
    refused.lastTurnIn = 3s;
    EXPECT_EQ(decideGuessing(refused, kMisses, kPaced).verdict, GuessingVerdict::Paced)
        << "one that cannot wait is refused as before";
}

}  // namespace
}  // namespace velquor::net
