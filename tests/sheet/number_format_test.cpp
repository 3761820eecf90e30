// The number-format renderer against a table of (value, format code, displayed text) cases,
// each what the spreadsheet application shows in the en-US locale, and its bounds.
#include "sheet/number_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sheet/decimal_number.h"
#include "sheet/sheet_reader.h"
#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::sheet {
namespace {

struct Case {
    double value;
    const char* code;
    const char* expected;
    bool date1904 = false;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(NumberFormat::fromCode(c.code).formatNumber(c.value, c.date1904), c.expected)
            << "value " << c.value << " with format " << c.code;
    }
}

TEST(NumberFormat, GeneralFitsElevenCharactersButKeepsIntegersWhole) {
    const std::vector<std::pair<double, const char*>> cases = {
        {0, "0"},
        {1, "1"},
        {-1, "-1"},
        {1.0 / 3, "0.333333333"},
        {-1.0 / 3, "-0.333333333"},
        {2.0 / 3, "0.666666667"},
        {10.0 / 3, "3.333333333"},
        {1234.5678, "1234.5678"},
        {0.1 + 0.2, "0.3"},
        {3.14159265358979, "3.141592654"},
        {1.5e20, "1.5E+20"},
        {112233445566, "112233445566"},
        {123456789012345, "123456789012345"},
        {-123456789012345, "-123456789012345"},
        {1e15, "1E+15"},
        {123456789012.5, "1.23457E+11"},
        {12345678901.5, "12345678902"},
        {99999999999.6, "1E+11"},
        {0.0001, "0.0001"},
        {0.000123456789, "0.000123457"},
        {1.23456789e-5, "1.23457E-05"},
        {0.00001, "0.00001"},
        {1e-10, "1E-10"},
        {1e100, "1E+100"},
        {2.5e-300, "2.5E-300"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(formatGeneral(value), expected) << value;
        EXPECT_EQ(NumberFormat().formatNumber(value, false), expected) << value;
        EXPECT_EQ(NumberFormat::fromCode("General").formatNumber(value, false), expected);
    }
}

TEST(NumberFormat, RoundsHalfAwayFromZeroAfterFifteenDigits) {
    expectAll({
        {2.675, "0.00", "2.68"},  // stored as 2.67499999999999982..., printf says 2.67
        {1.005, "0.00", "1.01"},
        {0.5, "0", "1"},
        {1.5, "0", "2"},
        {2.5, "0", "3"},
        {-2.5, "0", "-3"},
        {0.125, "0.00", "0.13"},
        {999.995, "#,##0.00", "1,000.00"},
        {9.999, "0.00E+00", "1.00E+01"},
    });
}

TEST(NumberFormat, PlacesDigitsDecimalsAndSeparators) {
    expectAll({
        {5060, "0.00", "5060.00"},
        {5060.4, "0", "5060"},
        {1234567.891, "#,##0.00", "1,234,567.89"},
        {-1234.5, "#,##0.00", "-1,234.50"},
        {0, "#,##0", "0"},
        {0, "#,###", ""},
        {12, "0000", "0012"},
        {12, "0,000", "0,012"},
        {0.5, "#.##", ".5"},
        {5, "#.##", "5."},
        {1.5, "0.0#", "1.5"},
        {1.55, "0.0#", "1.55"},
        {1, "0.0#", "1.0"},
        {1.5, "0.0?", "1.5 "},
        {5551234, "000-0000", "555-1234"},
        {1234, "#,##0,", "1"},
        {1500000, "0.0,,\"M\"", "1.5M"},
        {0.125, "0.0%", "12.5%"},
        {0.5, "0%", "50%"},
        {12345.678, "0.00E+00", "1.23E+04"},
        {0.000123, "0.00E+00", "1.23E-04"},
        {0, "0.00E+00", "0.00E+00"},
        {12345, "##0.0E+0", "12.3E+3"},
        {1234, "##0.0E+0", "1.2E+3"},
        {0.001234, "##0.0E+0", "1.2E-3"},
        {123456, "0.0E-00", "1.2E05"},
    });
}

TEST(NumberFormat, Fractions) {
    expectAll({
        {1.25, "# ?/?", "1 1/4"},
        {1.3, "# ?\?/?\?", "1  3/10"},
        {1.0 / 3, "?/?", "1/3"},
        {1.5, "?/?", "3/2"},
        {0.5, "?/8", "4/8"},
        {2.5, "# ?/8", "2 4/8"},
        {0.7, "# #/100", " 70/100"},
        {-1.25, "# ?/?", "-1 1/4"},
        {3.14159265, "# ??\?/??\?", "3  16/113"},
    });
}

TEST(NumberFormat, SectionsConditionsAndLiterals) {
    expectAll({
        {-5, "0;(0)", "(5)"},
        {5, "0;(0)", "5"},
        {0, "0;-0;\"zero\"", "zero"},
        {-5, "0.0;\"neg \"0.0", "neg 5.0"},
        {-5, "[Red]0.0;[Blue]\"minus \"0.0", "minus 5.0"},
        {0, "0;-0;;@", ""},
        {150, "[>100]\"big\";\"small\"", "big"},
        {50, "[>100]\"big\";\"small\"", "small"},
        {150, "[Red][<=100]0;[Blue][>100]0.0", "150.0"},
        {50, "[Red][<=100]0;[Blue][>100]0.0", "50"},
        {1234.5, "[$\xE2\x82\xAC-407] #,##0.00", "\xE2\x82\xAC 1,234.50"},
        {1, "[$-409]0.00", "1.00"},
        {1234.5, "#,##0.00 [$USD]", "1,234.50 USD"},
        {42, "\"Port \"0", "Port 42"},
        {42, "0\" units\"", "42 units"},
        {42, "0\\k", "42k"},
        {5, "0_)", "5 "},
        {5, "0*-", "5"},
        {-5, "$#,##0.00", "-$5.00"},
        {5, "@", "5"},
        {7, "[Color10]0.0", "7.0"},
        {-7, "General;[Red]-General", "-7"},
    });
}

TEST(NumberFormat, DatesInBothSystems) {
    expectAll({
        {45306, "m/d/yyyy", "1/15/2024"},
        {45306.5, "m/d/yyyy h:mm", "1/15/2024 12:00"},
        {45351.57326388889, "yyyy-mm-dd hh:mm:ss", "2024-02-29 13:45:30"},
        {60, "yyyy-mm-dd", "1900-02-29"},
        {59, "yyyy-mm-dd", "1900-02-28"},
        {61, "yyyy-mm-dd", "1900-03-01"},
        {1, "yyyy-mm-dd dddd", "1900-01-01 Sunday"},
        {0, "m/d/yyyy", "1/0/1900"},
        {45306, "dddd, mmmm d, yyyy", "Monday, January 15, 2024"},
        {45306, "ddd d mmm yy", "Mon 15 Jan 24"},
        {45306, "mmmmm", "J"},
        {45306, "d-mmm-yy", "15-Jan-24"},
        {-1, "m/d/yyyy", "########"},
        {0, "yyyy-mm-dd", "1904-01-01", true},
        {43844, "m/d/yyyy dddd", "1/15/2024 Monday", true},
    });
}

TEST(NumberFormat, TimesElapsedAndSubSeconds) {
    const double second = 1.0 / 86400;
    expectAll({
        {0.75, "h:mm AM/PM", "6:00 PM"},
        {0, "h:mm AM/PM", "12:00 AM"},
        {0.5, "h:mm a/p", "12:00 p"},
        {0.5, "h:mm A/P", "12:00 P"},
        {0.25, "hh:mm:ss", "06:00:00"},
        {1.5, "[h]:mm:ss", "36:00:00"},
        {60 * second, "[mm]:ss", "01:00"},
        {90 * second, "mm:ss", "01:30"},
        {90.26 * second, "mm:ss.0", "01:30.3"},
        {90.256 * second, "ss.00", "30.26"},
        {(10 * 3600 + 29 * 60 + 59.6) * second, "h:mm:ss", "10:30:00"},
        {(10 * 3600 + 29 * 60 + 59) * second, "h:mm", "10:29"},
        {(3 * 3600 + 7 * 60) * second, "h \"h\" m \"min\"", "3 h 7 min"},
    });
}

TEST(NumberFormat, QuestionMarksKeepTheWidthOfTheirSeparators) {
    expectAll({
        {1234567, "?,?????????", "    1,234,567"},
        {1234, "?,???,???", "    1,234"},
        {5, "?,???", "    5"},
        {12, "?,??0", "   12"},
        {12, "#,??0", " 12"},
        {1234.5, "?,???.00", "1,234.50"},
        {1234567, "?,???", "1,234,567"},
        {-5, "?,???", "-    5"},
    });
}

TEST(NumberFormat, FractionTextVanishesWithItsPart) {
    expectAll({
        {0.75, "|#\\:#/#|", "|3/4|"},
        {0, "|#\\:#/#|", "|0|"},
        {1, "|#\\:#/#|", "|1|"},
        {1.75, "|#\\:#/#|", "|1:3/4|"},
        {0.75, "|#-#-#\\:#/#|", "|--3/4|"},
        {12.75, "|#-#-#\\:#/#|", "|-1-2:3/4|"},
        // A blank joint and "?" placeholders keep their width, so that columns line up.
        {0.75, "# ?/?", " 3/4"},
        {2, "# ?/?", "2    "},
        {2, "# ?/8", "2    "},
        {0.999, "# ?/8", "1    "},
        {1e20, "?/?", "100000000000000000000/1"},
    });
}

TEST(NumberFormat, MinutesAndElapsedFieldsByContext) {
    const double second = 1.0 / 86400;
    const double threeMinutesFour = (3 * 60 + 4) * second;
    expectAll({
        {threeMinutesFour, "s:m", "4:3"},
        {threeMinutesFour, "ss:mm", "04:03"},
        {45306 + threeMinutesFour, "m/d ss m", "1/15 04 3"},
        {45306, "m/d", "1/15"},
        {1.5, "\"It was \"[h]\" [yes, \"h\"] hours\"", "It was 36 [yes, 36] hours"},
        {1.5, "[h] hh", "36 36"},
        {1.5, "h:mm", "12:00"},
        {1.5 + 5 * 60 * second, "[h]:mm", "36:05"},
        {90 * second, "[s]\" or \"ss", "90 or 90"},
        {(2 * 60 + 5) * second, "[m] mm:ss", "2 02:05"},
    });
}

TEST(NumberFormat, NegativeTimesShowASignInThe1904System) {
    const double second = 1.0 / 86400;
    const double negative = -(2 * 3600 + 3 * 60 + 4) * second;
    expectAll({
        {negative, "[h]:m:s.000", "-2:3:4.000", true},
        {negative, "[h]:m:s.000", "########", false},
        {-0.5, "h:mm", "-12:00", true},
        {-1.5, "[h]:mm", "-36:00", true},
        {-1, "yyyy-mm-dd", "-1904-01-02", true},
    });
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) count += (c & 0xC0) != 0x80 ? 1 : 0;
    return count;
}

TEST(NumberFormatBounds, CodesPastTwoHundredFiftyFiveCharactersAreRefused) {
    const std::string longest = repeated("0", 255);
    ASSERT_TRUE(NumberFormat::compile(longest).ok());
    EXPECT_EQ(NumberFormat::fromCode(longest).formatNumber(5, false), repeated("0", 254) + "5");
    // Characters, not bytes: 255 characters of which 252 take two bytes each.
    EXPECT_TRUE(NumberFormat::compile("0\"" + repeated("\xC3\xA9", 252) + "\"").ok());

    const std::string tooLong = repeated("0", 256);
    const auto refused = NumberFormat::compile(tooLong);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("255"), std::string::npos);
    EXPECT_EQ(NumberFormat::fromCode(tooLong).formatNumber(5.5, false), "5.5");
    EXPECT_EQ(NumberFormat::fromCode(repeated("0", 1000000)).formatNumber(1, false), "1");
}

TEST(NumberFormatBounds, DisplayedTextStopsAtTheCellLimit) {
    const NumberFormat manyTexts = NumberFormat::fromCode(repeated("@", 255));
    const std::string shown = manyTexts.formatText(repeated("abcd", 250));
    EXPECT_EQ(shown.size(), kMaxDisplayedCharacters);
    EXPECT_EQ(shown.substr(0, 8), "abcdabcd");
    // Two-byte characters are never cut in half.
    const std::string accented = manyTexts.formatText(repeated("\xC3\xA9", 999));
    EXPECT_EQ(characterCount(accented), kMaxDisplayedCharacters);
    EXPECT_EQ(accented.size(), 2 * kMaxDisplayedCharacters);
    EXPECT_EQ(NumberFormat::fromCode("@@").formatText("ab"), "abab");
}

TEST(NumberFormatBounds, AHugeFormatInAWorkbookReadsAsGeneralWithOneWarning) {
    ::velquor::testing::TempDir dir;
    const std::string styles = "<numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"" +
                               repeated("0", 1000000) +
                               "\"/></numFmts><cellXfs count=\"3\"><xf numFmtId=\"0\"/>"
                               "<xf numFmtId=\"164\"/><xf numFmtId=\"164\"/></cellXfs>";
    std::string rows;
    for (int row = 1; row <= 10000; ++row) {
        const std::string r = std::to_string(row);
        rows += "<row r=\"" + r + "\"><c r=\"A" + r + "\" s=\"1\"><v>" + r + ".5</v></c><c r=\"B" +
                r + "\" s=\"2\"><v>" + r + "</v></c></row>";
    }
    const auto path = dir / "huge-format.xlsx";
    testing::writeZip(path, testing::minimalWorkbook(rows, "", styles));

    SheetReader reader;
    auto opened = reader.Open(path.string());
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(opened->RowCount, 10000);
    EXPECT_EQ(reader.CellText(1, 1), "1.5");
    EXPECT_EQ(reader.CellText(10000, 2), "10000");
    ASSERT_EQ(reader.warnings().size(), 1u);
    const std::string& warning = reader.warnings()[0];
    EXPECT_NE(warning.find("huge-format.xlsx"), std::string::npos) << warning;
    EXPECT_NE(warning.find("number format 164"), std::string::npos) << warning;
    EXPECT_NE(warning.find("General"), std::string::npos) << warning;
    EXPECT_LT(warning.size(), 300u) << "the warning quotes the code in full";
}

TEST(NumberFormat, BuiltinFormatsAsShownInEnglishUs) {
    const double second = 1.0 / 86400;
    const std::vector<std::tuple<int, double, const char*>> cases = {
        {0, 1.0 / 3, "0.333333333"}, {1, 5060.4, "5060"},
        {2, 5060, "5060.00"},        {3, 1234567, "1,234,567"},
        {4, 1234.5, "1,234.50"},     {5, 1234, "$1,234 "},
        {5, -1234, "($1,234)"},      {8, -1.5, "($1.50)"},
        {9, 0.256, "26%"},           {10, 0.256, "25.60%"},
        {11, 12345.678, "1.23E+04"}, {12, 1.5, "1 1/2"},
        {13, 1.3, "1  3/10"},        {14, 45306, "1/15/2024"},
        {15, 45306, "15-Jan-24"},    {16, 45306, "15-Jan"},
        {17, 45306, "Jan-24"},       {18, 0.75, "6:00 PM"},
        {19, 0.75, "6:00:00 PM"},    {20, 0.75, "18:00"},
        {21, 0.75, "18:00:00"},      {22, 45306.75, "1/15/2024 18:00"},
        {37, 1234, "1,234 "},        {37, -1234, "(1,234)"},
        {39, -1234.5, "(1,234.50)"}, {45, 90 * second, "01:30"},
        {46, 1.5, "36:00:00"},       {47, 90.26 * second, "01:30.3"},
        {48, 12345, "12.3E+3"},      {49, 12, "12"},
        {200, 1.5, "1.5"},
    };
    for (const auto& [id, value, expected] : cases) {
        EXPECT_EQ(NumberFormat::fromBuiltinId(id).formatNumber(value, false), expected)
            << "built-in format " << id << " with " << value;
    }
}

TEST(NumberFormat, TextUsesTheTextSectionOnly) {
    EXPECT_EQ(NumberFormat::fromCode("@").formatText("abc"), "abc");
    EXPECT_EQ(NumberFormat::fromCode("\"Name: \"@").formatText("abc"), "Name: abc");
    EXPECT_EQ(NumberFormat::fromCode("0;0;0;\"t:\"@").formatText("abc"), "t:abc");
    EXPECT_EQ(NumberFormat::fromCode("0.00").formatText("001122"), "001122");
    EXPECT_EQ(NumberFormat().formatText("  spaced  "), "  spaced  ");
}

TEST(DecimalNumber, RoundsOnDigitsNotBinaryFractions) {
    const DecimalNumber number = DecimalNumber::fromDouble(0.1 + 0.2);
    EXPECT_EQ(number.digits, "3");
    EXPECT_EQ(number.pointPosition, 0);
    EXPECT_EQ(DecimalNumber::fromDouble(999.5).roundedToDecimals(0).integerDigits(), "1000");
    EXPECT_EQ(DecimalNumber::fromDouble(0.004).roundedToDecimals(2).isZero(), true);
    EXPECT_EQ(DecimalNumber::fromDouble(0.006).roundedToDecimals(2).fractionDigits(2), "01");
    EXPECT_EQ(DecimalNumber::fromDouble(1e20).integerDigits(), "100000000000000000000");
}

}  // namespace
}  // namespace velquor::sheet
