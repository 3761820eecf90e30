// Dates and times: the serial number taken apart once per cell, then each field rendered by
// its entry in one table.
#include <array>
#include <cmath>
#include <cstdint>

#include "sheet/format_render.h"
#include "sheet/serial_date.h"

namespace velquor::sheet::format {

namespace {

constexpr std::array<std::string_view, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<std::string_view, 7> kDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

std::string padded(std::int64_t value, int width) {
    std::string text = std::to_string(value);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
    return text;
}

std::string monthName(const SerialMoment& moment, std::size_t length) {
    return std::string(kMonthNames[static_cast<std::size_t>(moment.month - 1)].substr(0, length));
}

std::string dayName(const SerialMoment& moment, std::size_t length) {
    return std::string(kDayNames[static_cast<std::size_t>(moment.weekday)].substr(0, length));
}

int twoIfDoubled(Kind kind, Kind doubled) {
    return kind == doubled ? 2 : 1;
}

std::string hours(const SerialMoment& moment, const Section& section, const Token& token) {
    const int width = twoIfDoubled(token.kind, Kind::Hour2);
    if (section.elapsedHours) return padded(moment.totalSeconds / 3600, width);
    int hour = moment.hour;
    if (section.hasAmPm) hour = hour % 12 == 0 ? 12 : hour % 12;
    return padded(hour, width);
}

std::string minutes(const SerialMoment& moment, const Section& section, const Token& token) {
    const int width = twoIfDoubled(token.kind, Kind::Minute2);
    return padded(section.elapsedMinutes ? moment.totalSeconds / 60 : moment.minute, width);
}

std::string seconds(const SerialMoment& moment, const Section& section, const Token& token) {
    const int width = twoIfDoubled(token.kind, Kind::Second2);
    return padded(section.elapsedSeconds ? moment.totalSeconds : moment.second, width);
}

std::string subSecond(const SerialMoment& moment, const Section& section, const Token& token) {
    return '.' + padded(moment.fraction, section.subSecondDigits)
                     .substr(0, static_cast<std::size_t>(token.width));
}

std::string amPm(const SerialMoment& moment, const Section&, const Token& token) {
    if (token.kind == Kind::AmPm) return moment.hour < 12 ? "AM" : "PM";
    return std::string(1, moment.hour < 12 ? token.text[0] : token.text[1]);
}

std::string elapsed(const SerialMoment& moment, const Section&, const Token& token) {
    const std::int64_t perUnit = token.kind == Kind::ElapsedHours     ? 3600
                                 : token.kind == Kind::ElapsedMinutes ? 60
                                                                      : 1;
    return padded(moment.totalSeconds / perUnit, token.width);
}

using FieldRenderer = std::string (*)(const SerialMoment&, const Section&, const Token&);

struct FieldEntry {
    Kind kind;
    FieldRenderer render;
};

constexpr std::array kFields = {
    FieldEntry{Kind::Year2, [](const SerialMoment& m, const Section&,
                               const Token&) { return padded(m.year % 100, 2); }},
    FieldEntry{Kind::Year4, [](const SerialMoment& m, const Section&,
                               const Token&) { return padded(m.year, 4); }},
    FieldEntry{Kind::Month, [](const SerialMoment& m, const Section&,
                               const Token&) { return padded(m.month, 1); }},
    FieldEntry{Kind::Month2, [](const SerialMoment& m, const Section&,
                                const Token&) { return padded(m.month, 2); }},
    FieldEntry{Kind::MonthAbbr,
               [](const SerialMoment& m, const Section&, const Token&) { return monthName(m, 3); }},
    FieldEntry{Kind::MonthFull, [](const SerialMoment& m, const Section&,
                                   const Token&) { return monthName(m, std::string_view::npos); }},
    FieldEntry{Kind::MonthLetter,
               [](const SerialMoment& m, const Section&, const Token&) { return monthName(m, 1); }},
    FieldEntry{Kind::Day, [](const SerialMoment& m, const Section&,
                             const Token&) { return padded(m.day, 1); }},
    FieldEntry{Kind::Day2, [](const SerialMoment& m, const Section&,
                              const Token&) { return padded(m.day, 2); }},
    FieldEntry{Kind::DayAbbr,
               [](const SerialMoment& m, const Section&, const Token&) { return dayName(m, 3); }},
    FieldEntry{Kind::DayFull, [](const SerialMoment& m, const Section&,
                                 const Token&) { return dayName(m, std::string_view::npos); }},
    FieldEntry{Kind::Hour, hours},
    FieldEntry{Kind::Hour2, hours},
    FieldEntry{Kind::Minute, minutes},
    FieldEntry{Kind::Minute2, minutes},
    FieldEntry{Kind::Second, seconds},
    FieldEntry{Kind::Second2, seconds},
    FieldEntry{Kind::SubSecond, subSecond},
    FieldEntry{Kind::AmPm, amPm},
    FieldEntry{Kind::AorP, amPm},
    FieldEntry{Kind::ElapsedHours, elapsed},
    FieldEntry{Kind::ElapsedMinutes, elapsed},
    FieldEntry{Kind::ElapsedSeconds, elapsed},
};

FieldRenderer rendererOf(Kind kind) {
    for (const FieldEntry& entry : kFields) {
        if (entry.kind == kind) return entry.render;
    }
    return nullptr;  // digit placeholders and the like mean nothing in a date
}

std::string renderMoment(const Section& section, const SerialMoment& moment) {
    SlotTexts rendered(section.tokens.size());
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        const Token& token = section.tokens[i];
        if (const FieldRenderer render = rendererOf(token.kind)) {
            rendered[i] = render(moment, section, token);
        }
    }
    DisplayText out;
    assemble(section, rendered, {}, out);
    return out.take();
}

}  // namespace

std::string renderDate(const Section& section, double value, bool date1904) {
    // The 1904 system shows a negative date or time as its size with a sign, where the
    // 1900 system has nothing to show but hashes.
    const bool signedTime = date1904 && value < 0;
    const auto moment =
        SerialMoment::fromSerial(signedTime ? -value : value, date1904, section.subSecondDigits);
    if (!moment) return "########";
    return signedTime ? "-" + renderMoment(section, *moment) : renderMoment(section, *moment);
}

}  // namespace velquor::sheet::format
