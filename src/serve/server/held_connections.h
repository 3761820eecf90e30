// HeldConnections: the connections of unproven askers that wait for their turn (the guessing
// guard's answer "not yet": GuessingAdmission::waitFor), each suspended in the library until
// then and resumed at its turn by one thread of this queue, so that a guesser costs nothing
// while it waits. One whose client hangs up is resumed at once (it is answered into the void
// and closed), so a guesser gone takes no place. Bounded: past its bound a connection is not
// held, and its caller answers it at once and closes it. Stopping resumes every held
// connection at once (the library must hold none suspended when it stops) and holds none
// after.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace velquor::serve {

// Connections held at once by default: a network's guessers wait, the server's places stay
// for the phones.
inline constexpr std::size_t kMostHeldConnections = 1024;

struct HeldCounts {
    std::size_t now = 0;        // held at this moment
    std::uint64_t held = 0;     // held since the start
    std::uint64_t hungUp = 0;   // of them, resumed before their turn: the client hung up
    std::uint64_t refused = 0;  // not held: the queue was full, or stopping
};

class HeldConnections {
public:
    using Steady = std::chrono::steady_clock;

    explicit HeldConnections(std::size_t most = kMostHeldConnections);
    ~HeldConnections();  // stop()
    HeldConnections(const HeldConnections&) = delete;
    HeldConnections& operator=(const HeldConnections&) = delete;

    // Resumes a held connection: turnCame false when it was let go before its turn, its client
    // gone or the queue stopping (it is then only to be closed).
    using Resume = std::function<void(bool turnCame)>;

    // Holds the connection on socket until `until`: suspend is called at once, resume at its
    // turn, when its client hangs up or at stop, never before suspend has returned, and the
    // socket is never looked at after it. False, and neither called, when the queue is full
    // or stopping.
    bool hold(int socket, Steady::time_point until, const std::function<void()>& suspend,
              Resume resume);
    // Resumes every held connection now; none is held after.
    void stop();

    HeldCounts counts() const;

private:
    struct Held {
        int socket = -1;
        Steady::time_point turn;
        Resume resume;
    };
    void releaseDue();
    void resumeLocked(std::uint64_t key, bool turnCame);
    void wake() const;

    std::size_t m_most;
    int m_epoll = -1;  // the held sockets, for their clients' hang-ups, and m_wake
    int m_wake = -1;   // an eventfd: an earlier turn, or stopping
    mutable std::mutex m_mutex;
    bool m_stopping = false;
    std::uint64_t m_nextKey = 1;
    std::unordered_map<std::uint64_t, Held> m_held;
    std::multimap<Steady::time_point, std::uint64_t> m_turns;
    HeldCounts m_counts;
    std::thread m_releaser;
};

}  // namespace velquor::serve
