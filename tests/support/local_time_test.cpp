// Local times as a person reads them: the offset in force at the instant (either side of both
// summer-time changes), offsets west of UTC and of quarter hours, and whole seconds before 1970.
#include "support/local_time.h"

#include <gtest/gtest.h>

#include "time_zone.h"

namespace velquor::support {
namespace {

using namespace std::chrono;
using velquor::testing::TimeZone;

system_clock::time_point utc(year_month_day day, hours hour, minutes minute = {},
                             seconds second = {}) {
    return sys_days{day} + hour + minute + second;
}

TEST(LocalTimeTest, TheOffsetIsTheOneInForceEitherSideOfSummerTime) {
    const TimeZone zone(TimeZone::kCentralEurope);
    EXPECT_EQ(localTimeText(utc(2026y / December / 10, 15h, 40min, 1s)),
              "2026-12-10T16:40:01+01:00");
    // Summer time begins on the last Sunday of March at 01:00 UTC: 02:00 local becomes 03:00.
    EXPECT_EQ(localTimeText(utc(2026y / March / 29, 0h, 59min, 59s)), "2026-03-29T01:59:59+01:00");
    EXPECT_EQ(localTimeText(utc(2026y / March / 29, 1h)), "2026-03-29T03:00:00+02:00");
    // It ends on the last Sunday of October at 01:00 UTC: 02:30 local comes twice, told apart
    // only by the offset.
    EXPECT_EQ(localTimeText(utc(2026y / October / 25, 0h, 30min)), "2026-10-25T02:30:00+02:00");
    EXPECT_EQ(localTimeText(utc(2026y / October / 25, 1h, 30min)), "2026-10-25T02:30:00+01:00");
}

// A server's UTC registration time is shown in the same one form; its text stays when it is
// no such time.
TEST(LocalTimeTest, AServersUtcTimeReadsInTheOneForm) {
    const TimeZone zone(TimeZone::kCentralEurope);
    EXPECT_EQ(localTimeOfUtcText("2026-12-09T01:23:45Z"), "2026-12-09T02:23:45+01:00");
    EXPECT_EQ(localTimeOfUtcText("2026-07-01T12:00:00Z"), "2026-07-01T14:00:00+02:00");
    EXPECT_EQ(localTimeOfUtcText("yesterday"), "yesterday");
    EXPECT_EQ(localTimeOfUtcText("2026-12-09T01:23:45Z and more"), "2026-12-09T01:23:45Z and more");
}

TEST(LocalTimeTest, OffsetsWestOfUtcAndOfQuarterHoursKeepTheirSignAndMinutes) {
    {
        const TimeZone zone("<-0330>3:30");
        EXPECT_EQ(localTimeText(system_clock::time_point{}), "1969-12-31T20:30:00-03:30");
    }
    {
        const TimeZone zone("<+0545>-5:45");
        EXPECT_EQ(localTimeText(utc(2026y / January / 1, 0h)), "2026-01-01T05:45:00+05:45");
    }
    const TimeZone zone("UTC0");
    EXPECT_EQ(localTimeText(utc(2026y / January / 1, 0h)), "2026-01-01T00:00:00+00:00");
}

TEST(LocalTimeTest, AFractionOfASecondIsDroppedDownwardsAlsoBefore1970) {
    const TimeZone zone("UTC0");
    EXPECT_EQ(localTimeText(utc(2026y / June / 1, 12h) + milliseconds(999)),
              "2026-06-01T12:00:00+00:00");
    EXPECT_EQ(localTimeText(system_clock::time_point{} - milliseconds(500)),
              "1969-12-31T23:59:59+00:00");
}

}  // namespace
}  // namespace velquor::support
