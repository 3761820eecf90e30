// AccountStore: everything that decides one of kestod's replies — accounts, device
// registrations, login grants and failed-login counts — behind one interface, so that the
// request handling does not know where it is kept. Each implementation is one database
// connection, used by one thread at a time; every change returns only after its commit did,
// so a caller that answers "YES" after a Done has the change stored.
//
// Accounts have an id; a deleted account keeps its row (marked deleted) so that the devices it
// registered stay registered and attributed to it, and a new account of the same name starts
// with nothing. Every account also has a credential generation, bumped by each password change
// and carried by each grant: a grant is honoured only while its generation is the account's,
// so a login that checked the old password can never leave a working grant behind a change,
// however its steps interleave with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/guard/guessing_limit.h"
#include "server/guard/password_hash.h"
#include "support/result.h"

namespace velquor::server {

enum class StoreOutcome {
    Done,      // the change is committed
    Exists,    // the name or MAC is already taken
    NotFound,  // nothing matched (unknown name, or a MAC this owner does not hold)
};

// What a login checks the password against, and which account and generation a grant it
// leads to is for.
struct StoredLogin {
    long long accountId = 0;
    long long generation = 0;
    PasswordHash hash;
};

struct UserRow {
    std::string name;
    std::string created;
    long long devices = 0;
    // The name's guesses checked in the guessing hour, and whether a login from a new
    // address of a network that guessed too would be held back just now.
    long long failedLogins = 0;
    bool heldBack = false;
};

// The last time a phone asked the phones' port about its MAC: when (ISO 8601, UTC), from which
// address and what it was told; `at` empty when no phone has asked.
struct PhoneAsk {
    std::string at;
    std::string from;
    std::string answer;
};

// What a phone is told, as the store keeps it.
inline constexpr std::string_view kAnswerRedirected = "redirected";
inline constexpr std::string_view kAnswerNotFound = "not found";

// "never", or when, from where and what a phone was told, as kestod's listings show it.
std::string askedText(const PhoneAsk& ask);

// A moment as the store keeps when a phone asked: ISO 8601 in UTC, to the second.
std::string askTime(std::chrono::system_clock::time_point when);

// What one phone asked about its canonical MAC, to be remembered.
struct MacAsk {
    std::string mac;
    PhoneAsk ask;
};

struct DeviceRow {
    std::string mac;
    std::string server;
    std::string owner;
    std::string registered;
    long long accountId = 0;
    bool ownerDeleted = false;  // registered by an account that was deleted since
    PhoneAsk asked;             // by the canonical MAC, whoever holds it
};

// One page of an account's devices, in MAC order, with how many it holds in all.
struct DevicePage {
    std::uint64_t total = 0;
    std::vector<DeviceRow> rows;
};

// Everything 'kestod migrate' carries from one store into another.
struct StoreSnapshot {
    struct Account {
        long long id = 0;
        std::string name;
        PasswordHash hash;
        std::string created;
        std::string deleted;  // empty: not deleted
    };
    struct Device {
        std::string mac;
        std::string server;
        long long accountId = 0;
        std::string registered;
    };
    using Ask = MacAsk;
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<Account> accounts;
    std::vector<Device> devices;
    std::vector<Ask> asks;
};

class AccountStore {
public:
    enum class OpenMode { CreateIfMissing, MustExist };

    virtual ~AccountStore() = default;

    virtual support::Result<StoreOutcome> addUser(std::string_view name,
                                                  const PasswordHash& hash) = 0;
    // Marks the account deleted and ends all of its grants; its devices stay registered.
    virtual support::Result<StoreOutcome> deleteUser(std::string_view name) = 0;
    // Replaces the password and ends the user's grants at every address except keepPeer
    // (empty: at every address).
    virtual support::Result<StoreOutcome> setPassword(std::string_view name,
                                                      const PasswordHash& hash,
                                                      std::string_view keepPeer) = 0;
    // Adds the user or replaces an existing user's password (ending all of its grants).
    virtual support::Status putUser(std::string_view name, const PasswordHash& hash) = 0;
    // The existing account of this name, for a login.
    virtual support::Result<std::optional<StoredLogin>> findLogin(std::string_view name) = 0;

    // One transaction: reads the counts of guessing_limit.h for this attempt (failures of the
    // name at the peer's address group and of the group, whether the peer logged in as the user
    // within limits.knownAddressFor or lies in a range the chief trusts for it, the name's
    // guesses in the guessing hour), lets decideLogin decide, and records a check: a failure
    // of the name at the group, and a guess of the peer's network when the peer is not
    // trusted; grantLogin takes both back. Reading and recording together is what keeps many
    // parallel guesses from all passing before any of them is counted. peerGroup is the
    // peer's address for IPv4, its /64 for IPv6.
    virtual support::Result<LoginAdmission> admitLogin(std::string_view name, std::string_view peer,
                                                       std::string_view peerGroup,
                                                       const LoginLimits& limits) = 0;
    // A successful login: takes back what admitLogin recorded (the guess too, when it was
    // one), remembers the address as one the user logs in from, and grants the account, from
    // this peer address, requests for the lifetime. False, and no grant, when the account was
    // deleted or its password changed since findLogin read it.
    virtual support::Result<bool> grantLogin(std::string_view name, const StoredLogin& login,
                                             std::string_view peer, std::string_view peerGroup,
                                             bool guessed, std::chrono::milliseconds lifetime) = 0;
    // Lets logins of the live account of name from addresses in range (net::AddressRange::text())
    // be checked at once, whatever guessing there is, until lifetime has passed; a range
    // trusted again gets the new lifetime. NotFound when there is no such account.
    virtual support::Result<StoreOutcome> trustAddresses(std::string_view name,
                                                         std::string_view range,
                                                         std::chrono::milliseconds lifetime) = 0;
    // True while a grant of the (existing) account of this name to this address lives, given
    // on the account's current password.
    virtual support::Result<bool> holdsGrant(std::string_view name, std::string_view peer) = 0;

    // Devices are attributed to the existing account of the owner's name.
    virtual support::Result<StoreOutcome> addDevice(std::string_view mac,
                                                    std::string_view serverText,
                                                    std::string_view owner) = 0;
    virtual support::Result<StoreOutcome> replaceDevice(std::string_view mac,
                                                        std::string_view serverText,
                                                        std::string_view owner) = 0;
    virtual support::Result<StoreOutcome> deleteDevice(std::string_view mac,
                                                       std::string_view owner) = 0;

    // Frees a MAC address whoever registered it (the administrator's way out for the phones
    // of a deleted account); the registration it removed, if there was one.
    virtual support::Result<std::optional<DeviceRow>> releaseDevice(std::string_view mac) = 0;
    // Gives a registered MAC address to the existing account of owner (the administrator's way
    // to settle a phone kept in several spellings): its other spellings go, it is kept under
    // its canonical form with the server text it had. NotFound when the MAC is registered in
    // no spelling or the owner has no account.
    virtual support::Result<StoreOutcome> assignDevice(std::string_view mac,
                                                       std::string_view owner) = 0;

    // The devices of the live account of owner whose MAC is in the canonical form, in MAC order
    // from row start (counted from 0), at most limit of them, with their number; read at once,
    // so the page and its total agree. An unknown owner holds none.
    virtual support::Result<DevicePage> devicesOf(std::string_view owner, std::uint64_t start,
                                                  std::size_t limit) = 0;
    // The registration of one MAC address, whoever holds it.
    virtual support::Result<std::optional<DeviceRow>> findDevice(std::string_view mac) = 0;
    // Frees every device of the live account of owner (the administrator's, before deleting
    // the account); how many were freed.
    virtual support::Result<std::uint64_t> releaseDevicesOf(std::string_view owner) = 0;

    // Remembers each ask (when, from which address, told kAnswerRedirected or
    // kAnswerNotFound) in place of what its MAC asked before, unless the store holds a later
    // one (another instance's); all in one transaction. Kept whether or not the MAC is
    // registered, so a phone that asked before its registration shows it.
    virtual support::Status recordAsks(const std::vector<MacAsk>& asks) = 0;

    // Existing accounts only, with the devices each holds.
    // The guesses of each name are judged by limits.
    virtual support::Result<std::vector<UserRow>> listUsers(const LoginLimits& limits) = 0;
    virtual support::Result<std::vector<DeviceRow>> listDevices() = 0;

    virtual support::Result<std::optional<std::string>> setting(std::string_view key) = 0;
    virtual support::Status setSetting(std::string_view key, std::string_view value) = 0;

    // Called once by a server starting on this store. A store that one server has to itself
    // ends the logins of that server's previous run, as a restart always did; a shared
    // database keeps them, since other instances go on serving them.
    virtual support::Status beginServing() = 0;

    // The schema version the database is at after opening (and migrating) it.
    virtual support::Result<int> schemaVersion() = 0;

    // The moment after which the client of the request being handled has given up: a change
    // that cannot commit before it is rolled back and reported as an error, never stored late.
    // Clock::time_point::max() (the default): no limit.
    void setDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }
    std::chrono::steady_clock::time_point deadline() const { return m_deadline; }

private:
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
};

// The errors a store returns for a change abandoned at its deadline, and for a change whose
// fate is unknown because the connection broke while it was committing.
inline constexpr std::string_view kDeadlinePassed = "deadline passed: the change was not made";
inline constexpr std::string_view kOutcomeUnknown = "outcome unknown";

// Where a server's store lives: the SQLite file in its folder, or, with a database URL, a
// PostgreSQL database.
struct StoreLocation {
    std::filesystem::path folder;
    std::string databaseUrl;  // empty: the SQLite file in the folder
};

// What decideLogin makes of the counts a store read, with the counts a reply quotes.
LoginAdmission admissionFor(const GuessingCounts& counts, const LoginLimits& limits);
// A user's row with the name's guesses: held back when a login from a new address of a network
// that guessed already would be.
UserRow userRowFor(std::string name, std::string created, long long devices,
                   const GuessTally& guesses, const LoginLimits& limits);

support::Result<std::unique_ptr<AccountStore>> openAccountStore(const StoreLocation& location,
                                                                AccountStore::OpenMode mode);

}  // namespace velquor::server
