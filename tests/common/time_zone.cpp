// The zone of a test; see time_zone.h.
#include "time_zone.h"

#include <cstdlib>
#include <ctime>

namespace velquor::testing {

TimeZone::TimeZone(const char* tz) {
    if (const char* previous = std::getenv("TZ")) m_previous = previous;
    ::setenv("TZ", tz, 1);
    ::tzset();
}

TimeZone::~TimeZone() {
    if (m_previous) {
        ::setenv("TZ", m_previous->c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace velquor::testing
