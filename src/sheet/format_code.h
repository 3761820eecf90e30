// The parsed form of a number-format code: its sections, each a list of tokens with the
// placement of its digits worked out once, so that rendering a cell only walks the tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::sheet::format {

enum class Kind : std::uint8_t {
    Literal,
    Zero,
    Hash,
    Question,
    Point,
    Comma,
    Percent,
    Exponent,
    Slash,
    FixedDenominator,
    Text,
    General,
    // Date and time fields from here on (isDateKind relies on the order).
    Year2,
    Year4,
    Month,
    Month2,
    MonthAbbr,
    MonthFull,
    MonthLetter,
    Day,
    Day2,
    DayAbbr,
    DayFull,
    Hour,
    Hour2,
    Minute,
    Minute2,
    Second,
    Second2,
    SubSecond,
    AmPm,
    AorP,
    ElapsedHours,
    ElapsedMinutes,
    ElapsedSeconds
};

// Commas mean different things by position.
enum class CommaRole : std::uint8_t { Literal, Grouping, Scaling };

struct Token {
    Kind kind = Kind::Literal;
    std::string text;  // literal text; "+"/"-" for Exponent; the two letters of AorP; digits
    int width = 0;     // digits of an elapsed or sub-second field
    CommaRole comma = CommaRole::Literal;
};

inline bool isDigitPlaceholder(Kind kind) {
    return kind == Kind::Zero || kind == Kind::Hash || kind == Kind::Question;
}

inline bool isDateKind(Kind kind) {
    return kind >= Kind::Year2;
}

enum class Compare { None, Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual };

struct Condition {
    Compare compare = Compare::None;
    double operand = 0;

    bool matches(double value) const;
    // A condition such as [<0] already says the value is negative: no sign is added.
    bool explicitlyNegative() const;
};

// Token indices of the digit placeholders of a plain or scientific number.
struct NumberLayout {
    std::vector<std::size_t> integerSlots;  // left to right
    std::vector<std::size_t> fractionSlots;
    std::vector<std::size_t> exponentSlots;
    bool grouping = false;
    std::size_t exponentToken = std::string::npos;
};

// Token indices of a fraction: [whole] [joint] numerator / denominator.
struct FractionLayout {
    std::vector<std::size_t> wholeSlots;
    std::vector<std::size_t> numeratorSlots;
    std::vector<std::size_t> denominatorSlots;
    std::size_t jointBegin = 0;  // the text between the whole part and the numerator
    std::size_t numeratorBegin = 0;
    std::size_t fractionEnd = 0;        // one past the denominator
    std::int64_t fixedDenominator = 0;  // 0 when the denominator is chosen per value
    std::int64_t maxDenominator = 1;
    bool jointIsBlank = true;  // the joint is spaces only, which stay when the whole vanishes
    bool keepsWidth = false;   // a vanished fraction leaves spaces ("?", "0"), not nothing ("#")
};

struct Section {
    std::vector<Token> tokens;
    NumberLayout layout;
    FractionLayout fraction;
    Condition condition;
    bool isDate = false;
    bool hasText = false;  // "@"
    bool hasDigits = false;
    bool hasGeneral = false;
    bool hasAmPm = false;
    bool hasFraction = false;
    // An elapsed field ([h], [m], [s]) makes plain fields of the same unit elapsed too.
    bool elapsedHours = false;
    bool elapsedMinutes = false;
    bool elapsedSeconds = false;
    int subSecondDigits = 0;
    int percentCount = 0;
    int scaleCommas = 0;
};

// At most four sections; an empty code gives one empty section.
std::vector<Section> parseFormatCode(std::string_view code);

}  // namespace velquor::sheet::format
