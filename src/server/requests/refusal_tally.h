// Refusals that a flood can make by the thousand (logins held back by the guessing limit or the
// login rate) are counted, not logged one line each: the first of a kind (a reason and a name)
// gets its line at once, and the rest one line per interval with how many came from how many
// address groups ("held back: 3264 more logins of "erin" from 3 address groups in the last
// 10 s"). Thread-safe: the workers count, the event loop writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace velquor::server {

class RefusalTally {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{10};

    // Counts one refusal. True when it is the first of its kind in an interval: the caller logs
    // its own line then (and wakes whoever flushes).
    struct Refusal {
        std::string reason;
        std::string user;
        std::string group;
        std::uint16_t port = 0;
        std::string reply;
    };
    bool count(const Refusal& refusal, Clock::time_point now = Clock::now());

    // Writes the line of each kind whose interval ended with refusals after its first; returns
    // when the next interval ends (time_point::max() with nothing counted).
    Clock::time_point flush(Clock::time_point now = Clock::now());

private:
    struct Kind {
        Clock::time_point since;
        std::uint16_t port = 0;
        std::string reply;
        std::size_t more = 0;
        std::set<std::string> groups;  // of those `more`, at most kMostGroups kept
    };
    static constexpr std::size_t kMostGroups = 1024;

    std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Kind> m_kinds;  // (reason, user)
};

}  // namespace velquor::server
