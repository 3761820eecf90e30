// The serial-date calendar: a spreadsheet serial number (days since the epoch of the
// workbook's date system, time as the fraction of a day) taken apart into calendar and clock
// fields, and ISO 8601 dates turned into serial numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velquor::sheet {

struct SerialMoment {
    int year = 0;
    int month = 0;    // 1-12
    int day = 0;      // 0-31 (serial 0 of the 1900 system is "January 0, 1900")
    int weekday = 0;  // 0 Sunday
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::int64_t fraction = 0;      // of a second, in units of 10^-subSecondDigits
    std::int64_t totalSeconds = 0;  // the whole value in seconds, for elapsed times

    // The 1900 system counts a 29 February 1900 that never was (serial 60), as the
    // application does; the 1904 system starts at 1 January 1904. The time is rounded to
    // subSecondDigits decimals of a second. Empty for a value no date can show.
    static std::optional<SerialMoment> fromSerial(double serial, bool date1904,
                                                  int subSecondDigits);
};

// A date, a date and time, or a time alone written as ISO 8601 text ("2024-02-29",
// "2024-02-29T13:45:30Z", "08:05:00") as a serial number; empty for text that is none.
std::optional<double> serialFromIsoText(std::string_view text, bool date1904);

}  // namespace velquor::sheet
