// Local time with its offset; see local_time.h.
#include "support/local_time.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace velquor::support {

std::string localTimeText(std::chrono::system_clock::time_point time) {
    // Whole seconds, rounded down also before 1970.
    const std::time_t whole =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    // localtime_r need not look at TZ again; tzset does.
    ::tzset();
    std::tm parts{};
    if (::localtime_r(&whole, &parts) == nullptr) return {};
    const long offset = parts.tm_gmtoff;
    const long minutes = std::labs(offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string localTimeOfUtcText(std::string_view utc) {
    std::tm parts{};
    const std::string text(utc);
    const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    if (end == nullptr || *end != '\0') return text;
    return localTimeText(std::chrono::system_clock::from_time_t(::timegm(&parts)));
}

}  // namespace velquor::support
