// The guessing policy; see guessing_limit.h.
#include "server/guard/guessing_limit.h"

#include <algorithm>
#include <sstream>

#include "net/guessing_policy.h"

namespace velquor::server {

namespace {

net::MissLimit perName(const LoginLimits& limits) {
    return {limits.failuresPerName, limits.window, limits.window};
}
net::MissLimit perGroup(const LoginLimits& limits) {
    return {limits.failuresPerAddress, limits.window, limits.window};
}
net::PacedChecks sharedChecks(const LoginLimits& limits) {
    return {limits.guessesPerHour, limits.guessBurst(), limits.guessingHour()};
}

}  // namespace

// kestod keeps no earlier holds: each hold lasts the window. A name's guesses are checked
// apart from its networks' own first ones, so the shared checks are those past them.
LoginDecision decideLogin(const GuessingCounts& counts, const LoginLimits& limits) {
    if (const auto hold = net::missHold(counts.ofNameAtGroup, perName(limits), 0);
        hold.count() > 0) {
        return {LoginVerdict::NameAtAddress, hold};
    }
    net::GuessingCounts shared;
    shared.groupMisses = counts.ofGroup;
    shared.proven = counts.trusted;
    shared.ownCheck = counts.fromNetwork == 0;
    shared.pacedChecks = std::max(0LL, counts.tally.guesses - counts.tally.networks);
    shared.sinceOldest = counts.tally.sinceOldest;
    shared.sinceLatest = counts.tally.sinceLatest;
    const net::GuessingDecision decided =
        net::decideGuessing(shared, perGroup(limits), sharedChecks(limits));
    switch (decided.verdict) {
        case net::GuessingVerdict::GroupHeld:
            return {LoginVerdict::Address, decided.holdFor};
        case net::GuessingVerdict::Paced:
        case net::GuessingVerdict::Wait:  // never: a login has no connection to wait on
            return {LoginVerdict::Account, decided.holdFor};
        case net::GuessingVerdict::Check:
            break;
    }
    return {LoginVerdict::Check, decided.holdFor, decided.shared, decided.pacingStarts};
}

std::string guessingSettingsText(const LoginLimits& limits) {
    return std::to_string(limits.window.count()) + " " + std::to_string(limits.guessesPerHour);
}

LoginLimits guessingSettingsFrom(std::string_view text) {
    LoginLimits limits;
    std::istringstream in{std::string(text)};
    long long windowMs = 0;
    int perHour = 0;
    if (in >> windowMs >> perHour && windowMs > 0 && perHour > 0) {
        limits.window = std::chrono::milliseconds(windowMs);
        limits.guessesPerHour = perHour;
    }
    return limits;
}

}  // namespace velquor::server
