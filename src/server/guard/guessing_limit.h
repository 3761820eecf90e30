// The limits on guessing passwords, and the one place that decides whether a login is checked
// or held back: decideLogin, a pure function from the counts a store reads to the decision the
// store then records, over net's guessing rule (net/guessing_policy.h), which the phone server
// holds its guessers to as well. The stores keep the counts; they never decide.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace velquor::server {

// How many failed logins are tolerated: per (name, address group) and per address group over
// all names within window, so guesses from one address never lock the name out at another; an
// IPv6 peer counts by its /64, which one host may hold whole.
//
// Per name, over all addresses: logins of a name from addresses that have not logged in as it
// within knownAddressFor (and that the chief does not trust) are guesses. In any guessing
// hour, each network (/24 for IPv4, /48 for IPv6) has its first guess checked, and besides
// those at most guessesPerHour are: the first third at once, then one every
// guessingHour() / guessesPerHour. So a guessing run from other networks takes the shared
// checks but never the one of the owner's network, and her login from a new address there is
// checked at once; a run from her own network takes that one as well.
struct LoginLimits {
    int failuresPerName = 10;
    int failuresPerAddress = 30;
    int guessesPerHour = 60;
    std::chrono::milliseconds window = std::chrono::minutes(5);
    std::chrono::milliseconds knownAddressFor = std::chrono::days(7);

    // Everything the guessing rule uses scales with window (an hour by default), so a test or
    // a benchmark can play an hour in seconds.
    std::chrono::milliseconds guessingHour() const { return window * 12; }
    long long guessBurst() const { return guessesPerHour / 3 > 0 ? guessesPerHour / 3 : 1; }
    std::chrono::milliseconds guessSpacing() const { return guessingHour() / guessesPerHour; }
};

// The guessing rule's settings as a serving kestod leaves them in its store, for 'kestod users'
// to judge the names by ("WINDOW_MS GUESSES_PER_HOUR"), and read back; text that does not
// read as such leaves the defaults.
std::string guessingSettingsText(const LoginLimits& limits);
LoginLimits guessingSettingsFrom(std::string_view text);
inline constexpr std::string_view kGuessingSettingsKey = "guessing_limits";

// A name's guesses checked in the last guessing hour, the networks they came from, and how
// long ago the oldest and the latest were.
struct GuessTally {
    long long guesses = 0;
    long long networks = 0;
    std::chrono::milliseconds sinceOldest{0};
    std::chrono::milliseconds sinceLatest{0};
};

// What a store reads for one login attempt, in the transaction that records its outcome.
struct GuessingCounts {
    long long ofNameAtGroup = 0;  // failures of the name from the peer's group in the window
    long long ofGroup = 0;        // failures from the peer's group, all names, in the window
    bool trusted = false;         // the peer logged in as the user lately, or the chief trusts it
    GuessTally tally;
    long long fromNetwork = 0;  // the tally's guesses from the peer's network
};

enum class LoginVerdict {
    Check,          // check the password
    NameAtAddress,  // this name failed too often from this address group
    Address,        // this address group failed too often, whatever the names
    Account,        // the name is held back after guesses from elsewhere
};

struct LoginDecision {
    LoginVerdict verdict = LoginVerdict::Check;
    // How long at least until an attempt like this one may be checked; zero for a check.
    std::chrono::milliseconds holdFor{0};
    // A check to be recorded among the name's guesses (counted until a success takes it back).
    bool guess = false;
    // This check uses the last of the name's shared checks that go at once: from now on they
    // are spaced out, which is worth a line in the log.
    bool pacingStarts = false;
};

LoginDecision decideLogin(const GuessingCounts& counts, const LoginLimits& limits);

// What a store's admitLogin decided about one attempt, with the counts a reply or log line
// quotes.
struct LoginAdmission {
    LoginDecision decision;
    long long guesses = 0;   // the name's checked guesses in the hour, this one included
    long long networks = 0;  // the networks they came from
};

}  // namespace velquor::server
