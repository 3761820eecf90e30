// The request log's bound on refused and dropped connections (and the phones' port's
// refusals): the first of a reason from an address group gets its line at once, the rest of
// that address and reason one line per interval with how many followed. Addresses are cheap
// (IPv6 gives anyone millions), so a total bound holds too: past kMostAddresses address groups
// with a line of their own in an interval, a reason's further events are counted together,
// one line per reason per interval with how many connections came from how many addresses.
// Thread-safe: the event loop and the workers note, the event loop writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace velquor::server {

class LogBound {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{10};
    static constexpr std::size_t kMostAddresses = 256;

    // Where the lines go: (address group or "*", port, text).
    using Writer = std::function<void(const std::string&, std::uint16_t, const std::string&)>;
    explicit LogBound(Writer writer, std::size_t mostAddresses = kMostAddresses)
        : m_writer(std::move(writer)), m_mostAddresses(mostAddresses) {}

    // Counts one event; true when it is the first of its address and reason in an interval,
    // within the bound: the caller writes its own line then (and wakes whoever flushes).
    bool note(const std::string& group, std::uint16_t port, const std::string& reason,
              Clock::time_point now = Clock::now());

    // Writes the counts of the intervals that ended; returns when the next one ends
    // (time_point::max() with nothing counted).
    Clock::time_point flush(Clock::time_point now = Clock::now());

private:
    struct Tally {
        Clock::time_point since;
        std::uint16_t port = 0;
        std::size_t more = 0;
    };
    struct Beyond {
        Clock::time_point since;
        std::uint16_t port = 0;
        std::size_t connections = 0;
        std::set<std::string> groups;  // at most kMostCounted kept
    };
    static constexpr std::size_t kMostCounted = 65'536;

    Writer m_writer;
    std::size_t m_mostAddresses;
    std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Tally> m_tallies;  // (group, reason)
    std::map<std::string, Beyond> m_beyond;                          // by reason
};

}  // namespace velquor::server
