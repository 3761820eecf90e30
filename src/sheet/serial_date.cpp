// The serial-date calendar of both date systems, in both directions.
#include "sheet/serial_date.h"

#include <charconv>
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

// A proleptic Gregorian date to days since 1970-01-01.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::int64_t kDays1899_12_30 = -25569;  // days from 1970-01-01
constexpr std::int64_t kDays1904_01_01 = -24107;

struct ClockTime {
    int hour = 0;
    int minute = 0;
    double second = 0;
};

bool readNumber(std::string_view text, std::size_t at, std::size_t length, int& out) {
    if (at + length > text.size()) return false;
    auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, out);
    return ec == std::errc() && end == text.data() + at + length;
}

// "hh:mm" or "hh:mm:ss[.fff][Z]" at the given position; nothing there is midnight.
std::optional<ClockTime> readClock(std::string_view text, std::size_t at) {
    ClockTime clock;
    if (at + 5 > text.size()) return clock;
    if (!readNumber(text, at, 2, clock.hour) || !readNumber(text, at + 3, 2, clock.minute)) {
        return std::nullopt;
    }
    if (at + 6 < text.size() && text[at + 5] == ':') {
        std::string_view rest = text.substr(at + 6);
        while (!rest.empty() && (rest.back() == 'Z' || rest.back() == 'z')) rest.remove_suffix(1);
        auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), clock.second);
        if (ec != std::errc()) return std::nullopt;
    }
    return clock;
}

}  // namespace

std::optional<double> serialFromIsoText(std::string_view text, bool date1904) {
    std::int64_t days = 0;  // from the system's day zero
    std::size_t timeAt = 0;
    if (text.size() >= 10 && text[4] == '-') {
        int year = 0, month = 0, day = 0;
        if (!readNumber(text, 0, 4, year) || !readNumber(text, 5, 2, month) ||
            !readNumber(text, 8, 2, day) || month < 1 || month > 12 || day < 1 || day > 31) {
            return std::nullopt;
        }
        days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
               (date1904 ? kDays1904_01_01 : kDays1899_12_30);
        // Serial numbers before 1 March 1900 sit one lower: the system counts 29 February 1900.
        if (!date1904 && days > 0 && days < 61) days -= 1;
        timeAt = text.size() > 10 && text[10] == 'T' ? 11 : text.size();
    }
    const auto clock = readClock(text, timeAt);
    if (!clock) return std::nullopt;
    return static_cast<double>(days) +
           (clock->hour * 3600 + clock->minute * 60 + clock->second) / 86400.0;
}

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
