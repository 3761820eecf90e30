// Hexadecimal text: round trips over every byte value, refusals that name the position, and
// the escapes that keep untrusted bytes out of a line.
#include "support/hex.h"

#include <gtest/gtest.h>

#include <cctype>

namespace velquor::support {
namespace {

TEST(HexTest, EncodesAndDecodesEveryByteValue) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
    const std::string text = hexEncode(all);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(text.size() - 4), "feff");
    EXPECT_EQ(hexDecode(text).value(), all);
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(hexDecode(upper).value(), all) << "either case is read";
    EXPECT_EQ(hexEncode(""), "");
    EXPECT_EQ(hexDecode("").value(), "");
}

TEST(HexTest, RefusesWhatIsNotHexadecimal) {
    auto odd = hexDecode("abc");
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error().code, ErrorCode::InvalidInput);
    EXPECT_NE(odd.error().message.find("odd"), std::string::npos);
    for (const auto& [text, position] : {std::pair{"0g", "2"}, std::pair{"x0", "1"},
                                         std::pair{"00 1", "3"}, std::pair{"0011-f", "5"}}) {
        auto refused = hexDecode(text);
        ASSERT_FALSE(refused) << text;
        EXPECT_EQ(refused.error().message,
                  std::string("not a hexadecimal digit at position ") + position);
    }
}

TEST(HexTest, EscapesWhatCouldBreakALine) {
    EXPECT_EQ(escapeNonPrintable("YES"), "YES");
    EXPECT_EQ(escapeNonPrintable(std::string("Y\0\n\x7f\xff ~", 7)), "Y\\x00\\x0a\\x7f\\xff ~");
    EXPECT_EQ(escapeNonPrintable("a\"b\\c"), "a\"b\\c") << "nothing extra unless asked";
    EXPECT_EQ(escapeNonPrintable("a\"b\\c", "\"\\"), "a\\x22b\\x5cc");
}

// What a server sends to be shown: no byte of it may move the cursor, recolour the terminal or
// start a line, nor pass for an escape; other text, accented or not, stays as it is.
TEST(HexTest, EscapesControlsButKeepsText) {
    EXPECT_EQ(escapeControls("https://prov.example/a?b=1"), "https://prov.example/a?b=1");
    EXPECT_EQ(escapeControls("caf\xc3\xa9 \xe6\x9c\x8d"), "caf\xc3\xa9 \xe6\x9c\x8d");
    EXPECT_EQ(escapeControls("a\x1b[2Jb\r\nMINE\x7f"), "a\\x1b[2Jb\\x0d\\x0aMINE\\x7f");
    EXPECT_EQ(escapeControls("\xc2\x9b"
                             "31m"),
              "\\xc2\\x9b31m")
        << "C1 CSI as UTF-8";
    EXPECT_EQ(escapeControls("a\\x1b"), "a\\x5cx1b") << "a typed escape is not an escape";
    EXPECT_EQ(escapeControls(std::string("\0z", 2)), "\\x00z");
}

}  // namespace
}  // namespace velquor::support
