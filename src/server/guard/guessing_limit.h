// The limits on guessing passwords: failed logins counted per name and address, per address,
// and per account over all addresses.
#pragma once

#include <chrono>

namespace velquor::server {

// How many failed logins are tolerated within a window: per (name, peer address), so guesses
// from one address never lock the name out at another, and per peer address over all names.
// An IPv6 peer counts by its /64, which one host may hold whole.
//
// Per account, over all addresses: once a name has failed failuresPerAccount times (within the
// account rule's memory), its logins are checked at most once per hold, which doubles with
// every further failure from holdAfter(1) = window / 150 up to window / 5 (2 s to 60 s with the
// default window); guessing slows to about one a minute, and the owner is never locked out
// for longer than that. An address that logged in as the user within knownAddressFor is not
// held back at all. The account rule forgets a name once it has had no failure for
// accountMemory().
struct LoginLimits {
    int failuresPerName = 10;
    int failuresPerAddress = 30;
    int failuresPerAccount = 20;
    std::chrono::milliseconds window = std::chrono::minutes(5);
    std::chrono::milliseconds knownAddressFor = std::chrono::days(7);

    // The hold after the excess-th failure beyond failuresPerAccount (excess >= 1).
    std::chrono::milliseconds holdAfter(long long excess) const;
    std::chrono::milliseconds accountMemory() const { return window * 12; }
};

// What admitLogin decided about one attempt.
struct LoginAdmission {
    enum class Verdict {
        Admitted,       // to be checked; counted as a failure until grantLogin takes it back
        NameAtAddress,  // this name failed too often from this address
        Address,        // this address failed too often, whatever the names
        Account,        // the name is held back after failures from anywhere
    };
    Verdict verdict = Verdict::Admitted;
    // This attempt took the name past failuresPerAccount: worth one line in the log.
    bool passedAccountLimit = false;
    long long accountFailures = 0;  // the name's failures the account rule remembers
    long long addresses = 0;        // the addresses of the name's failures in the window
};

}  // namespace velquor::server
