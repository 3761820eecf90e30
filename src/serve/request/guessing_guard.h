// The guessing guard: the phone server's side of net's guessing rule (net/guessing_policy.h).
// A request that misses (a name that is no file, a wrong user or certificate) counts against
// its address group (an IPv6 host by its /64); a group that missed too often within a minute is
// held back, its requests answered 403 without a look at the folder, for a minute and twice as
// long at each repeat. A network (/24, /48) is never held: its unproven requests are looked at a
// burst at once once it misses, then one a second at most, and a proven asker (a certificate or
// a password checked) never waits for them. An unproven asker that already had a challenge or
// a refusal on its connection and asks again unproven counts among its network's looks too,
// and past them it waits on its connection for its turn (the caller holds the connection),
// rather than being answered at once: a guesser then costs nothing while it waits. The state is
// bounded: the groups and networks least lately seen give way to new ones. Thread-safe: groups and
// networks are split in shards by their hash, each under its own lock, so the serving threads
// seldom wait on one another.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "net/address_range.h"
#include "net/guessing_policy.h"
#include "serve/log/fetch_record.h"

namespace velquor::serve {

struct GuessingLimits {
    net::MissLimit misses{10, std::chrono::minutes(1), std::chrono::hours(1)};
    std::chrono::milliseconds missWindow = std::chrono::minutes(1);
    net::PacedChecks network{60, 20, std::chrono::minutes(1)};
    std::size_t mostGroups = 65536;  // groups remembered; the least lately seen give way
    std::size_t mostNetworks = 4096;
};

// Who asks, as the guard counts: the peer's group and network.
struct Asker {
    net::AddressRange group;
    net::AddressRange network;
};
Asker askerOf(const sockaddr* peer);

// The proof the checks before the guard found (cert:<mac>, digest:<user>), not "none".
bool provenAsker(const FetchRecord& record);
// A request the asker was not entitled to: a name that is no file (404) or a proof refused
// (401 or 403 with the refusal's reason). A 401 that only asked for credentials (none given,
// or a nonce gone stale) is no miss: the caller leaves it out.
bool missedRequest(const FetchRecord& record);

struct GuessingAdmission {
    bool look = true;
    std::string refusal;  // why not, for the log and the status
    bool shared = false;  // an unproven look, counted among its network's
    // Not yet: hold the asker's connection this long, then admit it again (its turn came).
    std::chrono::milliseconds waitFor{0};
};

// Whether an unproven request may wait on its connection for its network's next look.
enum class Waiting {
    Cannot,    // a connection's first request, or a proven one
    May,       // its connection had an unproven answer (a challenge, a refusal) already
    TurnCame,  // it waited, and its turn came
};

class GuessingGuard {
public:
    using Steady = std::chrono::steady_clock;
    explicit GuessingGuard(GuessingLimits limits = {});

    // Before any check of the request: why its group is held back, or nothing.
    std::optional<std::string> heldBack(const Asker& asker, Steady::time_point now = Steady::now());
    // Before the folder is looked at, the asker's proof checked: whether it may be, now.
    GuessingAdmission admit(const Asker& asker, bool proven, Waiting waiting = Waiting::Cannot,
                            Steady::time_point now = Steady::now());
    // After the answer: the outcome of a request that was looked at. A miss counts against the
    // group; it and an unproven request that followed an unproven answer on its connection
    // (repeated) count among the network's looks.
    void record(const Asker& asker, bool proven, bool missed, bool repeated = false,
                Steady::time_point now = Steady::now());

    std::size_t groupsKept() const;

private:
    struct Group {
        Steady::time_point windowStart;
        long long misses = 0;
        Steady::time_point heldUntil;
        Steady::time_point lastHoldEnd;
        int earlierHolds = 0;
    };
    struct Network {
        Steady::time_point periodStart;
        long long checks = 0;  // unproven misses (and paced looks) within the period
        Steady::time_point latest;
        Steady::time_point lastTurn;  // the turn of the last asker waiting
    };
    template <typename Value>
    struct Recent {
        std::list<std::pair<net::AddressRange, Value>> order;  // most lately seen first
        std::unordered_map<net::AddressRange, typename decltype(order)::iterator> index;
        Value& at(const net::AddressRange& key, std::size_t most);
    };
    // One shard of the groups or of the networks, under its own lock.
    template <typename Value>
    struct Shard {
        std::mutex mutex;
        Recent<Value> recent;
    };
    template <typename Value>
    struct Shards {
        std::unique_ptr<Shard<Value>[]> shards;
        std::size_t count = 1;
        std::size_t most = 1;  // kept by each shard

        Shards(std::size_t mostKept);
        Shard<Value>& of(const net::AddressRange& key);
    };

    std::optional<std::string> heldBackLocked(Group& group, Steady::time_point now);
    std::string startHold(Group& group, std::chrono::milliseconds hold, Steady::time_point now);
    void roll(Group& group, Steady::time_point now) const;
    void roll(Network& network, Steady::time_point now) const;

    GuessingLimits m_limits;
    mutable Shards<Group> m_groups;
    mutable Shards<Network> m_networks;
};

}  // namespace velquor::serve
