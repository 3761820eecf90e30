// The check before a run: refusals, repeats under either rule, rewritten forms and the
// letter-case note, over the messy cells technicians actually send.
#include "mac/mac_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

namespace velquor::mac {
namespace {

const std::vector<std::string_view> kMessySheet = {
    "00:1A:2B:3C:4D:5E", "00-1a-2b-3c-4d-5f", "001A2B3C4D60 ",
    "001A2B3C4D61",      "001a2b3c4d61",      "not-a-mac",
};

TEST(MacCheckTest, ALaterRepeatWinsForFilesAndTheEarlierRowNamesIt) {
    const CheckResult result = checkCells(kMessySheet, Form::Plain, RepeatRule::LaterWins);
    ASSERT_EQ(result.cells.size(), 6U);
    EXPECT_EQ(result.refused, 1U);
    EXPECT_EQ(result.repeated, 1U);
    EXPECT_EQ(result.usable(), 4U);
    EXPECT_EQ(result.cells[0].written, "001A2B3C4D5E");
    EXPECT_TRUE(result.cells[0].rewritten);
    EXPECT_EQ(result.cells[1].written, "001a2b3c4d5f");
    EXPECT_EQ(result.cells[2].written, "001A2B3C4D60") << "the trailing space is gone";
    EXPECT_TRUE(result.cells[2].rewritten);
    EXPECT_EQ(result.cells[3].verdict, Verdict::Repeat);
    EXPECT_EQ(result.cells[3].other, 4U) << "replaced by the later cell";
    EXPECT_EQ(result.cells[4].verdict, Verdict::Usable);
    EXPECT_EQ(result.cells[4].written, "001a2b3c4d61");
    EXPECT_FALSE(result.cells[4].rewritten);
    EXPECT_EQ(result.cells[5].verdict, Verdict::Refused);
    EXPECT_EQ(describe(result.cells[5].refusal), "not a MAC address");
}

TEST(MacCheckTest, ThreeSpellingsOfOnePhoneLeaveTheLastOneStanding) {
    const CheckResult result = checkCells({"001a2b3c4d5e", "00:1A:2B:3C:4D:5E", "001A.2B3C.4D5E"},
                                          Form::Lower, RepeatRule::LaterWins);
    EXPECT_EQ(result.cells[0].other, 2U) << "every earlier cell points at the one that is used";
    EXPECT_EQ(result.cells[1].other, 2U);
    EXPECT_EQ(result.cells[2].verdict, Verdict::Usable);
    EXPECT_EQ(result.repeated, 2U);
}

TEST(MacCheckTest, UnderFirstWinsEveryRepeatNamesTheFirstCell) {
    const CheckResult result =
        checkCells({"MAC", "00:1A:2B:3C:4D:5E", "001a2b3c4d5e", "001A2B3C4D5E ", "<script>"},
                   Form::Plain, RepeatRule::FirstWins);
    EXPECT_EQ(result.cells[1].verdict, Verdict::Usable);
    for (std::size_t i : {2U, 3U}) {
        EXPECT_EQ(result.cells[i].verdict, Verdict::Repeat) << i;
        EXPECT_EQ(result.cells[i].other, 1U) << i;
    }
    EXPECT_EQ(result.refused, 2U);
    EXPECT_EQ(result.usable(), 1U);
}

TEST(MacCheckTest, AsWrittenKeepsTheTextButStillRefusesWhatIsNoAddress) {
    const CheckResult result = checkCells(kMessySheet, Form::AsWritten, RepeatRule::LaterWins);
    EXPECT_EQ(result.cells[0].written, "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(result.cells[2].written, "001A2B3C4D60 ");
    for (std::size_t i = 0; i < 5; ++i) EXPECT_FALSE(result.cells[i].rewritten) << i;
    EXPECT_EQ(result.cells[3].verdict, Verdict::Repeat) << "a repeat is one phone however written";
    EXPECT_EQ(result.cells[5].verdict, Verdict::Refused);
}

TEST(MacCheckTest, BothLetterCasesAreNotedOnlyWhereTheFormKeepsThem) {
    EXPECT_TRUE(checkCells(kMessySheet, Form::Plain, RepeatRule::LaterWins).mixedCase);
    EXPECT_TRUE(checkCells(kMessySheet, Form::AsWritten, RepeatRule::LaterWins).mixedCase);
    EXPECT_FALSE(checkCells(kMessySheet, Form::Lower, RepeatRule::LaterWins).mixedCase);
    EXPECT_FALSE(checkCells(kMessySheet, Form::Upper, RepeatRule::LaterWins).mixedCase);
    EXPECT_FALSE(checkCells({"001A2B3C4D5E", "001122334455", "AABBCCDDEEF0"}, Form::Plain,
                            RepeatRule::LaterWins)
                     .mixedCase);
    EXPECT_FALSE(
        checkCells({"001A2B3C4D61", "001a2b3c4d61"}, Form::Plain, RepeatRule::LaterWins).mixedCase)
        << "the replaced spelling writes nothing, so only one case is used";
    EXPECT_FALSE(
        checkCells({"001A2B3C4D61", "001a2b3c4d61"}, Form::Plain, RepeatRule::FirstWins).mixedCase);
}

TEST(MacCheckTest, NoCellsNoFindings) {
    const CheckResult result = checkCells({}, Form::Plain, RepeatRule::FirstWins);
    EXPECT_TRUE(result.cells.empty());
    EXPECT_EQ(result.usable(), 0U);
    EXPECT_FALSE(result.mixedCase);
}

// Addresses met one at a time, far more than the table was sized for so it grows several times:
// each first one is kept with its tag, each later one in any spelling gives back the first's
// tag, and addresses only a digit apart stay apart.
TEST(MacCheckTest, FirstCellsKeepTheFirstTagOfEachAddressAcrossGrowth) {
    FirstCells seen(4);
    auto address = [](std::uint32_t i) {
        char text[16];
        std::snprintf(text, sizeof text, "0200%08x", i);
        return Reading(text).address();
    };
    constexpr std::uint32_t kAddresses = 20000;
    for (std::uint32_t i = 0; i < kAddresses; ++i) {
        ASSERT_FALSE(seen.claim(address(i), i).has_value()) << i;
    }
    EXPECT_EQ(seen.size(), kAddresses);
    for (std::uint32_t i = 0; i < kAddresses; i += 997) {
        EXPECT_EQ(seen.claim(address(i), 999999), std::optional<std::uint64_t>(i)) << i;
    }
    const Reading spelled("02-00-00-00-4E-1F");  // 0x4e1f = 19999, in another spelling and case
    EXPECT_EQ(seen.claim(spelled.address(), 1), std::optional<std::uint64_t>(19999));
    EXPECT_FALSE(seen.claim(Reading("040000000000").address(), 7).has_value());
    EXPECT_EQ(seen.claim(Reading("04:00:00:00:00:00").address(), 8),
              std::optional<std::uint64_t>(7));
    EXPECT_EQ(seen.size(), kAddresses + 1);
}

}  // namespace
}  // namespace velquor::mac
