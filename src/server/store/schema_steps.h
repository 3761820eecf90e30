// The steps of kestod's schema, numbered alike in both stores: a database at version N has
// taken every step up to N, whichever store holds it. SQLite databases start at the first
// releases' layout; a new PostgreSQL database starts at kAccountIds.
#pragma once

namespace velquor::server::schema {

inline constexpr int kOwnerNames = 1;     // devices kept by their owner's name (SQLite only)
inline constexpr int kAccountIds = 2;     // accounts by id, deleted ones kept; grants and
                                          // failed-login counts in the store
inline constexpr int kGenerations = 3;    // credential generations carried by grants
inline constexpr int kListingIndex = 4;   // an account's canonical MACs in an index of their own
inline constexpr int kAccountGuard = 5;   // the per-account guessing limit, known addresses
inline constexpr int kCanonicalMacs = 6;  // devices under their canonical MAC
inline constexpr int kSpelledMacs = 7;    // the canonical form of each row kept in another
                                          // spelling, which keeps that MAC taken
inline constexpr int kGuesses = 8;        // the guessing limit's counts: each guess checked,
                                          // by network; ranges the chief trusts; no policy
                                          // kept in the database
inline constexpr int kPhoneAsks = 9;      // per canonical MAC, the last time a phone asked the
                                          // phones' port, from where and what it was told
inline constexpr int kCurrent = kPhoneAsks;

}  // namespace velquor::server::schema
