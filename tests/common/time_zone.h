// TimeZone: for its lifetime, this process's local time is that of the zone tz names (a POSIX
// rule such as "CET-1CEST,M3.5.0,M10.5.0/3", which needs no zone database); the TZ that was
// set before, or none, is put back after.
#pragma once

#include <optional>
#include <string>

namespace velquor::testing {

class TimeZone {
public:
    explicit TimeZone(const char* tz);
    ~TimeZone();
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

    // Central Europe: UTC+1, and UTC+2 from the last Sunday of March to the last of October.
    static constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

private:
    std::optional<std::string> m_previous;
};

}  // namespace velquor::testing
