// ConnectionGuard: what stands between a flood of connections and the phones. It keeps the
// server's own account of every open connection (its socket, its address group, since when it
// waits for a request) and holds three rules the library alone does not:
// - a request must come whole, TLS handshake included, within its deadline from the
//   connection (or from the end of the previous answer on a kept connection), whatever it
//   drips; past it the socket is shut, which the library sees at once and closes;
// - an address group holds at most perAddress connections (an IPv4 address is its own group,
//   an IPv6 host counts by its /64: net::addressGroup);
// - near the connection cap a newcomer gets room by closing a waiting connection (roomCandidate
//   tells which), never one whose request has come whole.
// Sockets are only shut (shutdown(2)), never closed, and only under the mutex the library's
// closing notice takes: a socket the library closed, whose number may be reused, is never
// touched.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/address_range.h"

namespace velquor::serve {

using Steady = std::chrono::steady_clock;

struct GuardLimits {
    std::chrono::milliseconds deadline{10'000};
    unsigned maxConnections = 1000;
    unsigned perAddress = 128;
};

// What making room looks at in one open connection.
struct WaitingConnection {
    bool requestWhole = false;  // its request came whole: its answer is under way
    bool keptAlive = false;     // an answer ended and it waits for another request
    bool shut = false;          // already on its way out
    std::size_t heldByGroup = 0;
    Steady::time_point waitingSince;  // its connection, or the end of its previous answer
};

// A connection that may give way for a newcomer, and its rank: idle kept connections first,
// then those whose request has not come whole; within each, the address group holding the
// most first, then the one waiting longest (the library does not say when a byte last came:
// the longest waiting has been given the longest to speak, and a phone being served is newer
// than any of a flood's).
struct RoomCandidate {
    int tier = 0;
    std::size_t heldByGroup = 0;
    Steady::time_point waitingSince;

    bool before(const RoomCandidate& other) const;
};

// Nothing for a connection that must stay: its request came whole, or it is already shut.
std::optional<RoomCandidate> roomCandidate(const WaitingConnection& connection);

struct ConnectionCounts {
    std::size_t open = 0;
    std::size_t answering = 0;  // open with their request whole
    std::uint64_t closedPastDeadline = 0;
    std::uint64_t closedForRoom = 0;
    std::uint64_t refusedPerAddress = 0;
    std::uint64_t refusedFull = 0;
};

class ConnectionGuard {
public:
    struct Tracked;

    explicit ConnectionGuard(GuardLimits limits);
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // Whether a connection from peer may come in, making room for it when the cap is reached.
    // Called on the thread that then opens it: its place is held for the next opened() there.
    bool admit(const sockaddr* peer);
    // The connection admitted last on this thread, now open on fd.
    Tracked* opened(int fd, const sockaddr* peer);
    // The library is closing it: it is forgotten, and its socket is never touched again.
    void closed(Tracked* connection);
    // Its request came whole (its handler runs): no deadline, never closed for room.
    void requestArrived(Tracked* connection);
    // Its answer ended; a kept connection waits for its next request from now, with a new
    // deadline.
    void answerEnded(Tracked* connection);
    // Whether it waits for a request (none came whole since it opened or its last answer)
    // and the guard did not shut it: the library closes it for reasons of its own.
    bool leftWaiting(const Tracked* connection) const;
    // Stops the deadline watch; connections still open are the library's to close.
    void stop();

    ConnectionCounts counts() const;

private:
    void watchDeadlines();
    std::size_t takenPlaces() const;
    bool makeRoom();
    void shut(Tracked& connection);
    void forget(const net::AddressRange& group);

    GuardLimits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_watchIdle = false;  // the watch sleeps until a connection waits for a request
    std::vector<Tracked*> m_open;
    std::unordered_map<net::AddressRange, std::size_t> m_heldByGroup;
    std::size_t m_reserved = 0;  // admitted, not yet opened
    std::size_t m_shut = 0;      // shut, not yet closed by the library
    ConnectionCounts m_counts;
    std::thread m_watch;
};

}  // namespace velquor::serve
