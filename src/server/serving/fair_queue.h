// How kestod shares its workers between peer addresses: records wait in one queue per address
// and a free worker takes from the address with the fewest requests in hand, and among those
// from the one served least recently, so addresses take turns: a flood from one address never
// holds every worker, nor goes first, while another address waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace velquor::server {

// Not thread-safe: the server guards it with its queue's mutex.
template <typename Item>
class FairQueue {
public:
    void push(const std::string& peer, Item item) {
        m_waiting[peer].push_back(Waiting{m_sequence++, std::move(item)});
        ++m_size;
    }

    bool empty() const { return m_size == 0; }
    std::size_t size() const { return m_size; }

    // The next item and its peer, counted as in hand until done(peer).
    std::optional<std::pair<std::string, Item>> pop() {
        auto chosen = m_waiting.end();
        for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
            if (chosen == m_waiting.end() || isFairerThan(*it, *chosen)) chosen = it;
        }
        if (chosen == m_waiting.end()) return std::nullopt;
        std::pair<std::string, Item> next{chosen->first, std::move(chosen->second.front().item)};
        chosen->second.pop_front();
        if (chosen->second.empty()) m_waiting.erase(chosen);
        --m_size;
        ++m_inHand[next.first];
        m_lastServed[next.first] = ++m_turn;
        return next;
    }

    void done(const std::string& peer) {
        const auto found = m_inHand.find(peer);
        if (found != m_inHand.end() && --found->second == 0) {
            m_inHand.erase(found);
            // An address with nothing left waiting starts afresh when it comes back.
            if (!m_waiting.contains(peer)) m_lastServed.erase(peer);
        }
    }

    // Every waiting item, in no particular order; for a server that stops.
    template <typename Visit>
    void drain(Visit&& visit) {
        for (auto& [peer, items] : m_waiting) {
            for (auto& waiting : items) visit(peer, std::move(waiting.item));
        }
        m_waiting.clear();
        m_size = 0;
    }

private:
    struct Waiting {
        unsigned long long sequence;
        Item item;
    };
    using Entry = std::pair<const std::string, std::deque<Waiting>>;

    static std::size_t countOf(const std::map<std::string, std::size_t>& counts,
                               const std::string& peer) {
        const auto found = counts.find(peer);
        return found == counts.end() ? 0 : found->second;
    }
    bool isFairerThan(const Entry& candidate, const Entry& best) const {
        const auto candidateHand = countOf(m_inHand, candidate.first);
        const auto bestHand = countOf(m_inHand, best.first);
        if (candidateHand != bestHand) return candidateHand < bestHand;
        const auto candidateTurn = countOf(m_lastServed, candidate.first);
        const auto bestTurn = countOf(m_lastServed, best.first);
        if (candidateTurn != bestTurn) return candidateTurn < bestTurn;
        return candidate.second.front().sequence < best.second.front().sequence;
    }

    std::map<std::string, std::deque<Waiting>> m_waiting;
    std::map<std::string, std::size_t> m_inHand;
    std::map<std::string, std::size_t> m_lastServed;  // the turn it was last served in
    std::size_t m_turn = 0;
    std::size_t m_size = 0;
    unsigned long long m_sequence = 0;
};

}  // namespace velquor::server
