// Holding back the addresses that guess; see guessing_guard.h.
#include "serve/request/guessing_guard.h"

#include <algorithm>
#include <utility>

namespace velquor::serve {

namespace {

using std::chrono::milliseconds;

// Shards at most; a shard keeps at least kKeptPerShard of the groups or networks.
constexpr std::size_t kMostShards = 16;
constexpr std::size_t kKeptPerShard = 64;

// Whole seconds, rounded up: "for 60 s", "in 1 s".
std::string secondsText(milliseconds length) {
    return std::to_string((length.count() + 999) / 1000) + " s";
}

milliseconds since(GuessingGuard::Steady::time_point then, GuessingGuard::Steady::time_point now) {
    return std::chrono::duration_cast<milliseconds>(now - then);
}

}  // namespace

Asker askerOf(const sockaddr* peer) {
    return {net::addressGroup(peer), net::addressNetwork(peer)};
}

bool provenAsker(const FetchRecord& record) {
    return !record.proof.empty() && record.proof != "none";
}

bool missedRequest(const FetchRecord& record) {
    if (record.status == 404) return true;
    return (record.status == 401 || record.status == 403) && !record.refusal.empty();
}

template <typename Value>
Value& GuessingGuard::Recent<Value>::at(const net::AddressRange& key, std::size_t most) {
    if (const auto found = index.find(key); found != index.end()) {
        order.splice(order.begin(), order, found->second);
        return found->second->second;
    }
    if (!order.empty() && order.size() >= most) {
        index.erase(order.back().first);
        order.pop_back();
    }
    order.emplace_front(key, Value{});
    index.emplace(key, order.begin());
    return order.front().second;
}

template <typename Value>
GuessingGuard::Shards<Value>::Shards(std::size_t mostKept)
    : count(std::clamp<std::size_t>(mostKept / kKeptPerShard, 1, kMostShards)),
      most(std::max<std::size_t>(1, mostKept / count)) {
    shards.reset(new Shard<Value>[count]);
}

template <typename Value>
GuessingGuard::Shard<Value>& GuessingGuard::Shards<Value>::of(const net::AddressRange& key) {
    return shards[std::hash<net::AddressRange>{}(key) % count];
}

GuessingGuard::GuessingGuard(GuessingLimits limits)
    : m_limits(std::move(limits)),
      m_groups(m_limits.mostGroups),
      m_networks(m_limits.mostNetworks) {}

void GuessingGuard::roll(Group& group, Steady::time_point now) const {
    if (now - group.windowStart >= m_limits.missWindow) {
        group.windowStart = now;
        group.misses = 0;
    }
    if (now >= group.heldUntil && now - group.lastHoldEnd >= m_limits.misses.longestHold)
        group.earlierHolds = 0;
}

void GuessingGuard::roll(Network& network, Steady::time_point now) const {
    if (now - network.periodStart >= m_limits.network.period) {
        network.periodStart = now;
        network.checks = 0;
    }
}

std::optional<std::string> GuessingGuard::heldBack(const Asker& asker, Steady::time_point now) {
    Shard<Group>& shard = m_groups.of(asker.group);
    std::lock_guard lock(shard.mutex);
    return heldBackLocked(shard.recent.at(asker.group, m_groups.most), now);
}

std::optional<std::string> GuessingGuard::heldBackLocked(Group& group, Steady::time_point now) {
    roll(group, now);
    if (now < group.heldUntil) {
        return "held back after guessing, for " + secondsText(since(now, group.heldUntil)) +
               " more";
    }
    // Misses answered before the folder (refused passwords) hold the group as well.
    const auto hold = net::missHold(group.misses, m_limits.misses, group.earlierHolds);
    if (hold > milliseconds(0)) return startHold(group, hold, now);
    return std::nullopt;
}

std::string GuessingGuard::startHold(Group& group, milliseconds hold, Steady::time_point now) {
    const long long misses = group.misses;
    group.heldUntil = now + hold;
    group.lastHoldEnd = group.heldUntil;
    ++group.earlierHolds;
    group.windowStart = group.heldUntil;
    group.misses = 0;
    return "held back: " + std::to_string(misses) + " requests not its own within a minute; for " +
           secondsText(hold);
}

GuessingAdmission GuessingGuard::admit(const Asker& asker, bool proven, Waiting waiting,
                                       Steady::time_point now) {
    // A group's shard, then a network's: always in this order.
    Shard<Group>& groupShard = m_groups.of(asker.group);
    std::lock_guard groupLock(groupShard.mutex);
    Group& group = groupShard.recent.at(asker.group, m_groups.most);
    if (std::optional<std::string> held = heldBackLocked(group, now)) return {false, *held};
    Shard<Network>& networkShard = m_networks.of(asker.network);
    std::lock_guard networkLock(networkShard.mutex);
    Network& network = networkShard.recent.at(asker.network, m_networks.most);
    roll(network, now);
    net::GuessingCounts counts;
    counts.groupMisses = group.misses;
    counts.earlierHolds = group.earlierHolds;
    counts.proven = proven;
    counts.pacedChecks = network.checks;
    counts.sinceOldest = since(network.periodStart, now);
    counts.sinceLatest = since(network.latest, now);
    counts.canWait = waiting != Waiting::Cannot;
    counts.turnCame = waiting == Waiting::TurnCame;
    counts.lastTurnIn = since(now, network.lastTurn);
    const net::GuessingDecision decided =
        net::decideGuessing(counts, m_limits.misses, m_limits.network);
    switch (decided.verdict) {
        case net::GuessingVerdict::GroupHeld:
            return {false, startHold(group, decided.holdFor, now)};
        case net::GuessingVerdict::Paced:
            return {false, "too many guesses from " + asker.network.text() +
                               "; unproven requests wait " + secondsText(decided.holdFor)};
        case net::GuessingVerdict::Wait:
            network.lastTurn = std::max(network.lastTurn, now + decided.holdFor);
            return {false,
                    "held on its connection: too many guesses from " + asker.network.text() +
                        "; unproven requests take their turn",
                    false, decided.holdFor};
        case net::GuessingVerdict::Check:
            break;
    }
    // Past the burst, a look takes the spacing at once: looks that come together do not all go.
    if (decided.shared && network.checks >= m_limits.network.burst) network.latest = now;
    return {true, {}, decided.shared};
}

void GuessingGuard::record(const Asker& asker, bool proven, bool missed, bool repeated,
                           Steady::time_point now) {
    if (missed) {
        Shard<Group>& shard = m_groups.of(asker.group);
        std::lock_guard lock(shard.mutex);
        Group& group = shard.recent.at(asker.group, m_groups.most);
        roll(group, now);
        ++group.misses;
    }
    if (proven || (!missed && !repeated)) return;
    Shard<Network>& shard = m_networks.of(asker.network);
    std::lock_guard lock(shard.mutex);
    Network& network = shard.recent.at(asker.network, m_networks.most);
    roll(network, now);
    ++network.checks;
    network.latest = now;
}

std::size_t GuessingGuard::groupsKept() const {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_groups.count; ++i) {
        std::lock_guard lock(m_groups.shards[i].mutex);
        kept += m_groups.shards[i].recent.order.size();
    }
    return kept;
}

}  // namespace velquor::serve
