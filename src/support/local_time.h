// The one form in which a person reads a time: the machine's local time with its offset from
// UTC, ISO 8601 to the second (2026-12-10T16:40:01+01:00). The window's tables and the reports
// a person saves or reads write times this way; stored formats keep their own (the fetch log's
// UTC).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace velquor::support {

// time in the zone TZ names now (read again at each call, so a changed TZ takes effect), the
// fraction of a second dropped. The offset is the one in force at that instant: summer time
// gives the summer offset.
std::string localTimeText(std::chrono::system_clock::time_point time);

// A UTC time as a server sends it (2026-12-09T01:23:45Z) in that same form; a text that is no
// such time is returned as it is.
std::string localTimeOfUtcText(std::string_view utc);

}  // namespace velquor::support
