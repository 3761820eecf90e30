// SerialMoment: serial numbers to civil dates in either date system.
#include "sheet/serial_date.h"

#include <cmath>

namespace velquor::sheet {

namespace {

constexpr double kFirstInvalid1900 = 2958466;  // 1 January 10000
constexpr double kFirstInvalid1904 = 2957004;

struct CivilDate {
    int year;
    int month;
    int day;
};

// Days since 1970-01-01 to a proleptic Gregorian date.
CivilDate civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

constexpr std::int64_t kDays1899_12_30 = -25569;  // days from 1970-01-01
constexpr std::int64_t kDays1904_01_01 = -24107;

}  // namespace

std::optional<SerialMoment> SerialMoment::fromSerial(double serial, bool date1904,
                                                     int subSecondDigits) {
    if (!(serial >= 0) || serial >= (date1904 ? kFirstInvalid1904 : kFirstInvalid1900)) {
        return std::nullopt;
    }
    std::int64_t scale = 1;
    for (int i = 0; i < subSecondDigits; ++i) scale *= 10;
    const std::int64_t ticksPerDay = 86400 * scale;
    const auto ticks =
        static_cast<std::int64_t>(std::floor(serial * static_cast<double>(ticksPerDay) + 0.5));
    const std::int64_t days = ticks / ticksPerDay;
    std::int64_t rest = ticks % ticksPerDay;

    SerialMoment moment;
    moment.totalSeconds = ticks / scale;
    moment.fraction = rest % scale;
    rest /= scale;
    moment.hour = static_cast<int>(rest / 3600);
    moment.minute = static_cast<int>(rest / 60 % 60);
    moment.second = static_cast<int>(rest % 60);

    CivilDate date{};
    if (date1904) {
        date = civilFromDays(kDays1904_01_01 + days);
        moment.weekday = static_cast<int>((days + 5) % 7);  // 1904-01-01 was a Friday
    } else {
        if (days == 0) {
            date = {1900, 1, 0};
        } else if (days == 60) {
            date = {1900, 2, 29};
        } else {
            date = civilFromDays(kDays1899_12_30 + days + (days < 60 ? 1 : 0));
        }
        // Weekdays count the phantom leap day too, so serial 1 is a Sunday.
        moment.weekday = static_cast<int>((days + 6) % 7);
    }
    if (date.year > 9999) return std::nullopt;
    moment.year = date.year;
    moment.month = date.month;
    moment.day = date.day;
    return moment;
}

}  // namespace velquor::sheet
