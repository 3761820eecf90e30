// MAC addresses read from cells: the accepted spellings, each reason for a refusal, and the
// forms an address is written back in.
#include "mac/mac_address.h"

#include <gtest/gtest.h>

namespace velquor::mac {
namespace {

std::string digitsOf(std::string_view cell) {
    Reading reading(cell);
    return reading.ok() ? reading.address().digits() : "refused: " + describe(reading.refusal());
}

std::string reasonFor(std::string_view cell) {
    Reading reading(cell);
    return reading.ok() ? "accepted as " + reading.address().digits() : describe(reading.refusal());
}

TEST(MacReadingTest, AcceptsTheUsualSpellingsAndKeepsTheCellsCase) {
    EXPECT_EQ(digitsOf("001A2B3C4D5E"), "001A2B3C4D5E");
    EXPECT_EQ(digitsOf("00:1A:2B:3C:4D:5E"), "001A2B3C4D5E");
    EXPECT_EQ(digitsOf("00-1a-2b-3c-4d-5f"), "001a2b3c4d5f");
    EXPECT_EQ(digitsOf("001A.2b3C.4D5E"), "001A2b3C4D5E");
}

TEST(MacReadingTest, SurroundingSpacesTabsAndNoBreakSpacesAreNotPartOfTheAddress) {
    EXPECT_EQ(digitsOf("001A2B3C4D60 "), "001A2B3C4D60");
    EXPECT_EQ(digitsOf("\t 00:1A:2B:3C:4D:5E\t"), "001A2B3C4D5E");
    EXPECT_EQ(digitsOf("\xC2\xA0"
                       "001a2b3c4d5e\xC2\xA0 \xC2\xA0"),
              "001a2b3c4d5e");
    EXPECT_EQ(reasonFor("001A 2B3C 4D5E"), "not a MAC address") << "white space inside is not";
    EXPECT_EQ(reasonFor("001A2B3C4D5E\n"), "not a MAC address") << "a line end is no padding";
    EXPECT_EQ(reasonFor("\xA0"
                        "001A2B3C4D5E"),
              "not a MAC address")
        << "a lone continuation byte is not a no-break space";
}

TEST(MacReadingTest, EachRefusedFormSaysWhy) {
    EXPECT_EQ(reasonFor(""), "empty");
    EXPECT_EQ(reasonFor(" \t\xC2\xA0"), "empty");
    EXPECT_EQ(reasonFor("001A2B3C4D"), "10 hex digits, not 12");
    EXPECT_EQ(reasonFor("00:1A:2B:3C:4D:5E:6F"), "14 hex digits, not 12");
    EXPECT_EQ(reasonFor("00:1A-2B:3C:4D:5E"), "the separator changes");
    EXPECT_EQ(reasonFor("001A2B3C4D5G"), "'G' is not a hex digit");
    EXPECT_EQ(reasonFor("00:1g:2B:3C:4D:5E"), "'g' is not a hex digit");
    EXPECT_EQ(reasonFor("001A:2B3C:4D5E"),
              "the digits are not in six groups of two or three groups of four");
    EXPECT_EQ(reasonFor("00.1A.2B.3C.4D.5E"),
              "the digits are not in six groups of two or three groups of four");
    EXPECT_EQ(reasonFor("00:1A:2B:3C:4D5E:"),
              "the digits are not in six groups of two or three groups of four");
    EXPECT_EQ(reasonFor(":001A2B3C4D5E"),
              "the digits are not in six groups of two or three groups of four");
}

TEST(MacReadingTest, TextThatIsNoAddressAtAllIsNotAMacAddress) {
    for (std::string_view cell : {"MAC", "MAC address", "not-a-mac", "<script>", "s3cr3t!pass",
                                  "001A2B3C4D5E.xml", "0x001A2B3C4D5E", "\xC3\xA9t\xC3\xA9"})
        EXPECT_EQ(reasonFor(cell), "not a MAC address") << cell;
}

TEST(MacReadingTest, AddressesNoPhoneHasAreRefused) {
    EXPECT_EQ(reasonFor("00:00:00:00:00:00"), "the all-zero address");
    EXPECT_EQ(reasonFor("ff-FF-ff-FF-ff-FF"), "the broadcast address");
    EXPECT_EQ(reasonFor("01:00:5E:00:00:01"), "a group address (lowest bit of the first byte set)");
    EXPECT_EQ(reasonFor("0F1A2B3C4D5E"), "a group address (lowest bit of the first byte set)");
    EXPECT_EQ(digitsOf("021A2B3C4D5E"), "021A2B3C4D5E") << "a locally administered one is fine";
    EXPECT_EQ(digitsOf("FE1A2B3C4D5E"), "FE1A2B3C4D5E");
}

TEST(MacReadingTest, TheReasonQuotesNoMoreOfTheCellThanOneLetter) {
    const std::string password = "Winter2024!";
    EXPECT_EQ(describe(Reading(password).refusal()).find("Winter"), std::string::npos);
    EXPECT_EQ(describe(Reading("zzzzzzzzzzzz").refusal()), "'z' is not a hex digit");
}

TEST(MacFormTest, EachFormWritesTheAddressItsWay) {
    const std::string cell = " 00:1a:2B:3c:4D:5e ";
    Reading reading(cell);
    ASSERT_TRUE(reading.ok());
    const Address& address = reading.address();
    EXPECT_EQ(address.written(Form::Plain, cell), "001a2B3c4D5e");
    EXPECT_EQ(address.written(Form::Lower, cell), "001a2b3c4d5e");
    EXPECT_EQ(address.written(Form::Upper, cell), "001A2B3C4D5E");
    EXPECT_EQ(address.written(Form::AsWritten, cell), cell) << "white space and all";
    EXPECT_EQ(address.canonical(), "001a2b3c4d5e");
}

TEST(MacFormTest, NamesReadBackAndNothingElseIsAForm) {
    for (Form form : {Form::Plain, Form::Lower, Form::Upper, Form::AsWritten})
        EXPECT_EQ(parseForm(formName(form)), form);
    EXPECT_EQ(kDefaultForm, Form::Plain);
    EXPECT_FALSE(parseForm("Lower"));
    EXPECT_FALSE(parseForm("as_written"));
    EXPECT_FALSE(parseForm(""));
}

TEST(MacCanonicalTest, EverySpellingOfOnePhoneMeetsInOneForm) {
    for (std::string_view cell : {"00:1A:2B:3C:4D:5E", "001a2b3c4d5e", "001A2B3C4D5E ",
                                  "00-1a-2B-3c-4D-5e", "001a.2b3c.4d5e"})
        EXPECT_EQ(canonicalMac(cell), "001a2b3c4d5e") << cell;
    EXPECT_FALSE(canonicalMac("MAC"));
    EXPECT_FALSE(canonicalMac("000000000000"));
}

TEST(MacLetterCaseTest, ACellAndARunAreMixedOnlyWhenBothCasesAppear) {
    EXPECT_EQ(Reading("001122334455").address().letterCase(), LetterCase::None);
    EXPECT_EQ(Reading("001a2b3c4d5e").address().letterCase(), LetterCase::Lower);
    EXPECT_EQ(Reading("00:1A:2B:3C:4D:5E").address().letterCase(), LetterCase::Upper);
    EXPECT_EQ(Reading("001a2B3c4d5e").address().letterCase(), LetterCase::Mixed);

    EXPECT_EQ(combine(LetterCase::None, LetterCase::Upper), LetterCase::Upper);
    EXPECT_EQ(combine(LetterCase::Upper, LetterCase::None), LetterCase::Upper);
    EXPECT_EQ(combine(LetterCase::Upper, LetterCase::Upper), LetterCase::Upper);
    EXPECT_EQ(combine(LetterCase::Upper, LetterCase::Lower), LetterCase::Mixed);
    EXPECT_EQ(combine(LetterCase::Mixed, LetterCase::Lower), LetterCase::Mixed);
}

}  // namespace
}  // namespace velquor::mac
