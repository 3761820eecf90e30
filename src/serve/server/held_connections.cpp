// The queue of held connections; see held_connections.h.
#include "serve/server/held_connections.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace velquor::serve {

namespace {

constexpr std::uint64_t kWakeKey = 0;
constexpr int kEventsAtOnce = 64;

}  // namespace

HeldConnections::HeldConnections(std::size_t most)
    : m_most(most),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    m_releaser = std::thread([this] { releaseDue(); });
}

HeldConnections::~HeldConnections() {
    stop();
    ::close(m_wake);
    ::close(m_epoll);
}

void HeldConnections::wake() const {
    const std::uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

bool HeldConnections::hold(int socket, Steady::time_point until,
                           const std::function<void()>& suspend, Resume resume) {
    std::lock_guard lock(m_mutex);
    if (m_stopping || m_held.size() >= m_most) {
        ++m_counts.refused;
        return false;
    }
    // Under the lock: the releaser resumes it only once it is suspended.
    suspend();
    const std::uint64_t key = m_nextKey++;
    epoll_event event{};
    event.events = EPOLLRDHUP;  // a hang-up; errors and EPOLLHUP come unasked
    event.data.u64 = key;
    if (socket >= 0) ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, socket, &event);
    const bool earliest = m_turns.empty() || until < m_turns.begin()->first;
    m_held.emplace(key, Held{socket, until, std::move(resume)});
    m_turns.emplace(until, key);
    ++m_counts.held;
    if (earliest) wake();
    return true;
}

void HeldConnections::resumeLocked(std::uint64_t key, bool turnCame) {
    const auto found = m_held.find(key);
    if (found == m_held.end()) return;
    Held& held = found->second;
    // Out of the watch before the library may close it.
    if (held.socket >= 0) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, held.socket, nullptr);
    const auto turns = m_turns.equal_range(held.turn);
    for (auto at = turns.first; at != turns.second; ++at) {
        if (at->second == key) {
            m_turns.erase(at);
            break;
        }
    }
    held.resume(turnCame);
    m_held.erase(found);
}

void HeldConnections::releaseDue() {
    epoll_event events[kEventsAtOnce];
    for (;;) {
        int timeoutMs = -1;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) return;
            if (!m_turns.empty()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    m_turns.begin()->first - Steady::now());
                timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
            }
        }
        const int count = ::epoll_wait(m_epoll, events, kEventsAtOnce, timeoutMs);
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 == kWakeKey) {
                std::uint64_t drained = 0;
                (void)!::read(m_wake, &drained, sizeof drained);
                continue;
            }
            if (m_held.count(events[i].data.u64) != 0) ++m_counts.hungUp;
            resumeLocked(events[i].data.u64, false);
        }
        const Steady::time_point now = Steady::now();
        while (!m_turns.empty() && m_turns.begin()->first <= now)
            resumeLocked(m_turns.begin()->second, true);
    }
}

void HeldConnections::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
        while (!m_turns.empty()) resumeLocked(m_turns.begin()->second, false);
    }
    wake();
    m_releaser.join();
}

HeldCounts HeldConnections::counts() const {
    std::lock_guard lock(m_mutex);
    HeldCounts counts = m_counts;
    counts.now = m_held.size();
    return counts;
}

}  // namespace velquor::serve
