// The guessing policy; see guessing_limit.h.
#include "server/guard/guessing_limit.h"

#include <algorithm>
#include <sstream>

namespace velquor::server {

LoginDecision decideLogin(const GuessingCounts& counts, const LoginLimits& limits) {
    using std::chrono::milliseconds;
    if (counts.ofNameAtGroup >= limits.failuresPerName) {
        return {LoginVerdict::NameAtAddress, limits.window};
    }
    if (counts.ofGroup >= limits.failuresPerAddress) return {LoginVerdict::Address, limits.window};
    if (counts.trusted) return {};
    // The network's own check: it takes nothing from the shared ones.
    if (counts.fromNetwork == 0) return {LoginVerdict::Check, milliseconds(0), true};
    const long long shared = std::max(0LL, counts.tally.guesses - counts.tally.networks);
    if (shared >= limits.guessesPerHour) {
        const auto left = limits.guessingHour() - counts.tally.sinceOldest;
        return {LoginVerdict::Account, std::max(left, milliseconds(1))};
    }
    if (shared >= limits.guessBurst() && counts.tally.sinceLatest < limits.guessSpacing()) {
        return {LoginVerdict::Account, limits.guessSpacing() - counts.tally.sinceLatest};
    }
    return {LoginVerdict::Check, milliseconds(0), true, shared + 1 == limits.guessBurst()};
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
