// Which records of a flood get a line of their own. A refused request (403, 405, 414, 431, ...)
// or a request for a name that is no phone of the site is counted by its kind, its status and
// the network it came from: the first of a kind in an interval is logged as it is, the rest
// as one summary line per kind and interval with their count ("404 not found: 3264 more from
// 192.0.2.0/24 in the last 10 s"), as kestod's request log counts its refusals. A flood of
// refused requests then grows the log by a few lines every ten seconds. Thread-safe: the
// serving threads count, the server's flusher takes the summary lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serve/log/fetch_record.h"

namespace velquor::serve {

// "404 not found: 3264 more from 192.0.2.0/24 in the last 10 s": a summary line in words.
std::string summaryText(const FetchRecord& summary);

class LogSummary {
public:
    using Steady = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{10};
    // Kinds counted at once; the kinds of further networks are counted together under "*".
    static constexpr std::size_t kMostKinds = 4096;

    // Whether record is counted by its kind rather than always logged: a refusal, or a 404
    // for a name that is no phone of the site (namesSitePhone false).
    static bool isCounted(const FetchRecord& record, bool namesSitePhone);

    // True when record gets its own line: it is not counted, or it is the first of its kind
    // in an interval.
    bool admit(const FetchRecord& record, bool namesSitePhone,
               Steady::time_point now = Steady::now());

    // The summary lines of the kinds whose interval has ended with requests after the first
    // (of every kind with some when all is set, as the server stops).
    std::vector<FetchRecord> due(Steady::time_point now = Steady::now(), bool all = false);

private:
    struct Kind {
        Steady::time_point since;
        std::uint64_t more = 0;
    };
    std::mutex m_mutex;
    std::map<std::pair<int, std::string>, Kind> m_kinds;  // (status, network)
};

}  // namespace velquor::serve
