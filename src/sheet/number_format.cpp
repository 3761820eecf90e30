// NumberFormat: format codes are split into sections and tokens once; rendering walks the
// tokens of the section the value selects. Digits come from DecimalNumber, dates from the
// serial-number calendar of the workbook's date system.
#include "sheet/number_format.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "sheet/decimal_number.h"
#include "sheet/serial_date.h"

namespace velquor::sheet {

namespace {

// ---- General --------------------------------------------------------------------------------

constexpr int kGeneralWidth = 11;
constexpr double kWholeIntegerLimit = 1e15;

std::string scientific(const DecimalNumber& number, int maxDecimals) {
    DecimalNumber mantissa = number.roundedToSignificant(1 + maxDecimals);
    int exponent = mantissa.exponent();
    std::string text(1, mantissa.digits.empty() ? '0' : mantissa.digits[0]);
    if (mantissa.digits.size() > 1) text += "." + mantissa.digits.substr(1);
    text += exponent < 0 ? "E-" : "E+";
    const std::string power = std::to_string(std::abs(exponent));
    text += (power.size() < 2 ? "0" : "") + power;
    return text;
}

std::string generalUnsigned(double value) {
    if (value == std::floor(value) && value < kWholeIntegerLimit) {
        char buffer[24];
        const auto result =
            std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(value));
        return std::string(buffer, result.ptr);
    }
    const DecimalNumber number = DecimalNumber::fromDouble(value);
    const int exponent = number.exponent();
    const bool fitsDecimals =
        number.digits.size() - static_cast<std::size_t>(number.pointPosition) <= 9;
    if ((exponent >= -4 && exponent < kGeneralWidth) || (exponent >= -9 && fitsDecimals)) {
        // Integer digits, the point and the decimals share the 11 characters.
        const int decimals = exponent >= 0 ? std::max(0, kGeneralWidth - 2 - exponent) : 9;
        const DecimalNumber rounded = number.roundedToDecimals(decimals);
        const std::string whole = rounded.integerDigits();
        if (static_cast<int>(whole.size()) <= kGeneralWidth) {
            std::string fraction = rounded.fractionDigits(decimals);
            while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
            std::string text = whole.empty() ? "0" : whole;
            if (!fraction.empty()) text += "." + fraction;
            return text;
        }
    }
    const int exponentDigits = std::abs(exponent) >= 100 ? 3 : 2;
    return scientific(number, kGeneralWidth - 4 - exponentDigits);
}

// ---- tokens ---------------------------------------------------------------------------------

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
    Text,
    General,
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

struct Token {
    Kind kind = Kind::Literal;
    std::string text;  // literal text; for Exponent "+" or "-"; for AorP the letters
    int width = 0;     // elapsed and sub-second digits; role of Comma (0 literal, 1 group, 2 scale)
};

bool isDigitPlaceholder(Kind kind) {
    return kind == Kind::Zero || kind == Kind::Hash || kind == Kind::Question;
}

bool isDateKind(Kind kind) {
    return kind >= Kind::Year2;
}

enum class Compare { None, Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual };

struct Condition {
    Compare compare = Compare::None;
    double operand = 0;
    bool matches(double value) const {
        switch (compare) {
            case Compare::None:
                return true;
            case Compare::Less:
                return value < operand;
            case Compare::LessEqual:
                return value <= operand;
            case Compare::Greater:
                return value > operand;
            case Compare::GreaterEqual:
                return value >= operand;
            case Compare::Equal:
                return value == operand;
            case Compare::NotEqual:
                return value != operand;
        }
        return true;
    }
    bool explicitlyNegative() const {
        return (compare == Compare::Less && operand <= 0) ||
               (compare == Compare::LessEqual && operand < 0);
    }
};

struct NumberLayout {
    std::vector<std::size_t> integerSlots;   // token indices, left to right
    std::vector<std::size_t> fractionSlots;  // after the point
    std::vector<std::size_t> exponentSlots;
    bool grouping = false;
    std::size_t exponentToken = std::string::npos;
};

struct Section {
    std::vector<Token> tokens;
    NumberLayout layout;  // where the digits go, worked out once
    Condition condition;
    bool isDate = false;
    bool hasText = false;  // "@"
    bool hasDigits = false;
    bool hasGeneral = false;
    bool hasAmPm = false;
    bool hasFraction = false;
    int subSecondDigits = 0;
    int percentCount = 0;
    int scaleCommas = 0;
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::size_t runLength(std::string_view code, std::size_t at, char letter) {
    std::size_t n = 0;
    while (at + n < code.size() &&
           std::tolower(static_cast<unsigned char>(code[at + n])) == letter) {
        ++n;
    }
    return n;
}

void addLiteral(Section& section, std::string_view text) {
    if (!section.tokens.empty() && section.tokens.back().kind == Kind::Literal) {
        section.tokens.back().text += text;
    } else {
        section.tokens.push_back({Kind::Literal, std::string(text), 0});
    }
}

// [Red], [$€-407], [>100], [h]: returns how many characters it used.
std::size_t parseBracket(std::string_view code, std::size_t at, Section& section) {
    const std::size_t close = code.find(']', at);
    if (close == std::string_view::npos) {
        addLiteral(section, code.substr(at));
        return code.size() - at;
    }
    const std::string_view inside = code.substr(at + 1, close - at - 1);
    const std::string word = lower(inside);
    const std::size_t used = close - at + 1;
    if (!word.empty() && (word[0] == 'h' || word[0] == 'm' || word[0] == 's') &&
        word.find_first_not_of(word[0]) == std::string::npos) {
        const Kind kind = word[0] == 'h'   ? Kind::ElapsedHours
                          : word[0] == 'm' ? Kind::ElapsedMinutes
                                           : Kind::ElapsedSeconds;
        section.tokens.push_back({kind, "", static_cast<int>(word.size())});
        section.isDate = true;
        return used;
    }
    if (!inside.empty() && inside[0] == '$') {
        // A currency or locale tag: the text before "-" is shown, the locale id is not.
        const std::string_view symbol = inside.substr(1, inside.find('-') - 1);
        if (!symbol.empty()) addLiteral(section, symbol);
        return used;
    }
    if (!inside.empty() && std::string_view("<>=").find(inside[0]) != std::string_view::npos) {
        std::size_t opLength = 1;
        Compare compare = Compare::Equal;
        if (inside.substr(0, 2) == "<=")
            compare = Compare::LessEqual, opLength = 2;
        else if (inside.substr(0, 2) == ">=")
            compare = Compare::GreaterEqual, opLength = 2;
        else if (inside.substr(0, 2) == "<>")
            compare = Compare::NotEqual, opLength = 2;
        else if (inside[0] == '<')
            compare = Compare::Less;
        else if (inside[0] == '>')
            compare = Compare::Greater;
        const std::string operand(inside.substr(opLength));
        char* end = nullptr;
        const double value = std::strtod(operand.c_str(), &end);
        if (end != operand.c_str()) section.condition = {compare, value};
        return used;
    }
    return used;  // colours, [DBNum1] and other tags do not change the text
}

bool matchesAt(std::string_view code, std::size_t at, std::string_view word) {
    return lower(code.substr(at, word.size())) == word;
}

Section parseSection(std::string_view code) {
    Section section;
    std::size_t i = 0;
    while (i < code.size()) {
        const char c = code[i];
        const char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c == '"') {
            const std::size_t close = code.find('"', i + 1);
            const std::size_t end = close == std::string_view::npos ? code.size() : close;
            addLiteral(section, code.substr(i + 1, end - i - 1));
            i = end + 1;
        } else if (c == '\\' || c == '!') {
            if (i + 1 < code.size()) {
                // One escaped character, which may be a multi-byte UTF-8 sequence.
                std::size_t length = 1;
                while (i + 1 + length < code.size() &&
                       (static_cast<unsigned char>(code[i + 1 + length]) & 0xC0) == 0x80) {
                    ++length;
                }
                addLiteral(section, code.substr(i + 1, length));
                i += 1 + length;
            } else {
                ++i;
            }
        } else if (c == '_') {
            addLiteral(section, " ");
            i += i + 1 < code.size() ? 2 : 1;
        } else if (c == '*') {
            i += i + 1 < code.size() ? 2 : 1;  // fill characters depend on the column width
        } else if (c == '[') {
            i += parseBracket(code, i, section);
        } else if (c == '0' || c == '#' || c == '?') {
            section.tokens.push_back({c == '0'   ? Kind::Zero
                                      : c == '#' ? Kind::Hash
                                                 : Kind::Question,
                                      "", 0});
            section.hasDigits = true;
            ++i;
        } else if (c == '.') {
            const std::size_t zeros = runLength(code, i + 1, '0');
            if (section.isDate && zeros > 0) {
                section.tokens.push_back(
                    {Kind::SubSecond, "", static_cast<int>(std::min<std::size_t>(zeros, 3))});
                section.subSecondDigits = std::max(
                    section.subSecondDigits, static_cast<int>(std::min<std::size_t>(zeros, 3)));
                i += 1 + zeros;
            } else {
                section.tokens.push_back({Kind::Point, "", 0});
                ++i;
            }
        } else if (c == ',') {
            section.tokens.push_back({Kind::Comma, "", 0});
            ++i;
        } else if (c == '%') {
            section.tokens.push_back({Kind::Percent, "%", 0});
            ++section.percentCount;
            ++i;
        } else if (c == '@') {
            section.tokens.push_back({Kind::Text, "", 0});
            section.hasText = true;
            ++i;
        } else if (lc == 'e' && i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-') &&
                   section.hasDigits) {
            section.tokens.push_back({Kind::Exponent, std::string(1, code[i + 1]), 0});
            i += 2;
        } else if (c == '/' && section.hasDigits && !section.isDate) {
            section.tokens.push_back({Kind::Slash, "/", 0});
            section.hasFraction = true;
            ++i;
            // A written denominator ("?/8", "#/100") is one number, not placeholders.
            if (i < code.size() && code[i] >= '1' && code[i] <= '9') {
                std::size_t n = 0;
                while (i + n < code.size() && std::isdigit(static_cast<unsigned char>(code[i + n])))
                    ++n;
                section.tokens.push_back({Kind::Literal, std::string(code.substr(i, n)), 0});
                i += n;
            }
        } else if (matchesAt(code, i, "general")) {
            section.tokens.push_back({Kind::General, "", 0});
            section.hasGeneral = true;
            i += 7;
        } else if (matchesAt(code, i, "am/pm")) {
            section.tokens.push_back({Kind::AmPm, "", 0});
            section.hasAmPm = section.isDate = true;
            i += 5;
        } else if (matchesAt(code, i, "a/p")) {
            section.tokens.push_back({Kind::AorP, std::string{code[i], code[i + 2]}, 0});
            section.hasAmPm = section.isDate = true;
            i += 3;
        } else if (lc == 'y' || lc == 'e') {
            const std::size_t n = runLength(code, i, lc);
            section.tokens.push_back({(n <= 2 && lc == 'y') ? Kind::Year2 : Kind::Year4, "", 0});
            section.isDate = true;
            i += n;
        } else if (lc == 'm') {
            const std::size_t n = runLength(code, i, 'm');
            const Kind kind = n == 1   ? Kind::Month
                              : n == 2 ? Kind::Month2
                              : n == 3 ? Kind::MonthAbbr
                              : n == 4 ? Kind::MonthFull
                                       : Kind::MonthLetter;
            section.tokens.push_back({kind, "", 0});
            section.isDate = true;
            i += n;
        } else if (lc == 'd') {
            const std::size_t n = runLength(code, i, 'd');
            const Kind kind = n == 1   ? Kind::Day
                              : n == 2 ? Kind::Day2
                              : n == 3 ? Kind::DayAbbr
                                       : Kind::DayFull;
            section.tokens.push_back({kind, "", 0});
            section.isDate = true;
            i += n;
        } else if (lc == 'h') {
            const std::size_t n = runLength(code, i, 'h');
            section.tokens.push_back({n == 1 ? Kind::Hour : Kind::Hour2, "", 0});
            section.isDate = true;
            i += n;
        } else if (lc == 's') {
            const std::size_t n = runLength(code, i, 's');
            section.tokens.push_back({n == 1 ? Kind::Second : Kind::Second2, "", 0});
            section.isDate = true;
            i += n;
        } else {
            // Everything else shows as itself; a UTF-8 sequence is kept whole.
            std::size_t length = 1;
            while (i + length < code.size() &&
                   (static_cast<unsigned char>(code[i + length]) & 0xC0) == 0x80) {
                ++length;
            }
            addLiteral(section, code.substr(i, length));
            i += length;
        }
    }
    return section;
}

// "m" is minutes right after hours or right before seconds, otherwise the month.
void resolveMinutes(Section& section) {
    auto previousTimeKind = [&](std::size_t at) -> std::optional<Kind> {
        while (at-- > 0) {
            if (isDateKind(section.tokens[at].kind) && section.tokens[at].kind != Kind::SubSecond) {
                return section.tokens[at].kind;
            }
        }
        return std::nullopt;
    };
    auto nextTimeKind = [&](std::size_t at) -> std::optional<Kind> {
        for (++at; at < section.tokens.size(); ++at) {
            if (isDateKind(section.tokens[at].kind)) return section.tokens[at].kind;
        }
        return std::nullopt;
    };
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        Token& token = section.tokens[i];
        if (token.kind != Kind::Month && token.kind != Kind::Month2) continue;
        const auto before = previousTimeKind(i);
        const auto after = nextTimeKind(i);
        const bool afterHour = before && (*before == Kind::Hour || *before == Kind::Hour2 ||
                                          *before == Kind::ElapsedHours);
        const bool beforeSecond = after && (*after == Kind::Second || *after == Kind::Second2 ||
                                            *after == Kind::ElapsedSeconds);
        if (afterHour || beforeSecond) {
            token.kind = token.kind == Kind::Month ? Kind::Minute : Kind::Minute2;
        }
    }
}

// Commas between digit placeholders group thousands; commas after the last placeholder of
// the number divide it by a thousand each; any other comma is text.
void resolveCommas(Section& section) {
    auto& tokens = section.tokens;
    bool afterPoint = false;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].kind == Kind::Point) afterPoint = true;
        if (tokens[i].kind != Kind::Comma) continue;
        const bool digitBefore =
            i > 0 && (isDigitPlaceholder(tokens[i - 1].kind) || tokens[i - 1].kind == Kind::Comma);
        std::size_t next = i + 1;
        while (next < tokens.size() && tokens[next].kind == Kind::Comma) ++next;
        const bool digitAfter = next < tokens.size() && isDigitPlaceholder(tokens[next].kind);
        if (section.isDate || !digitBefore) {
            tokens[i] = {Kind::Literal, ",", 0};
        } else if (digitAfter && !afterPoint) {
            tokens[i].width = 1;
        } else if (!digitAfter) {
            tokens[i].width = 2;
            ++section.scaleCommas;
        }
    }
    // Merge literals split by commas turned into text.
    std::vector<Token> merged;
    for (Token& token : tokens) {
        if (token.kind == Kind::Literal && !merged.empty() && merged.back().kind == Kind::Literal) {
            merged.back().text += token.text;
        } else {
            merged.push_back(std::move(token));
        }
    }
    tokens = std::move(merged);
}

NumberLayout layoutOf(const Section& section);

std::vector<Section> parseSections(std::string_view code) {
    std::vector<Section> sections;
    std::size_t start = 0;
    bool inQuote = false;
    bool inBracket = false;
    for (std::size_t i = 0; i <= code.size(); ++i) {
        if (i < code.size()) {
            const char c = code[i];
            if (c == '"' && !inBracket) inQuote = !inQuote;
            if (inQuote) continue;
            if (c == '\\' || c == '_' || c == '*') {
                ++i;
                continue;
            }
            if (c == '[') inBracket = true;
            if (c == ']') inBracket = false;
            if (c != ';' || inBracket) continue;
        }
        Section section = parseSection(code.substr(start, i - start));
        resolveMinutes(section);
        resolveCommas(section);
        section.layout = layoutOf(section);
        sections.push_back(std::move(section));
        start = i + 1;
        if (sections.size() == 4) break;
    }
    return sections;
}

// ---- rendering numbers ----------------------------------------------------------------------

NumberLayout layoutOf(const Section& section) {
    NumberLayout layout;
    int part = 0;  // 0 integer, 1 fraction, 2 exponent
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        const Token& token = section.tokens[i];
        if (token.kind == Kind::Point && part == 0) part = 1;
        if (token.kind == Kind::Exponent) {
            part = 2;
            layout.exponentToken = i;
        }
        if (token.kind == Kind::Comma && token.width == 1) layout.grouping = true;
        if (!isDigitPlaceholder(token.kind)) continue;
        (part == 0   ? layout.integerSlots
         : part == 1 ? layout.fractionSlots
                     : layout.exponentSlots)
            .push_back(i);
    }
    return layout;
}

char padding(Kind kind) {
    return kind == Kind::Zero ? '0' : kind == Kind::Question ? ' ' : '\0';
}

// Spreads digits over placeholders right to left; the leftmost takes any surplus.
std::vector<std::string> fillRightAligned(const std::string& digits,
                                          const std::vector<std::size_t>& slots,
                                          const std::vector<Token>& tokens) {
    std::vector<std::string> out(slots.size());
    std::size_t remaining = digits.size();
    for (std::size_t k = slots.size(); k-- > 0;) {
        if (remaining > 0) {
            out[k] = k == 0 ? digits.substr(0, remaining) : std::string(1, digits[remaining - 1]);
            remaining = k == 0 ? 0 : remaining - 1;
        } else if (const char pad = padding(tokens[slots[k]].kind); pad != '\0') {
            out[k] = std::string(1, pad);
        }
    }
    return out;
}

std::string groupThousands(const std::string& digits) {
    std::string out;
    std::size_t digitCount = 0;
    for (char c : digits) digitCount += (c >= '0' && c <= '9') ? 1 : 0;
    std::size_t seen = 0;
    for (char c : digits) {
        out += c;
        if (c >= '0' && c <= '9') {
            ++seen;
            if (seen < digitCount && (digitCount - seen) % 3 == 0) out += ',';
        }
    }
    return out;
}

struct Rendered {
    std::vector<std::string> slotText;  // per token index; empty for tokens without output
};

void placeInteger(const Section& section, const NumberLayout& layout, const std::string& digits,
                  Rendered& rendered) {
    if (layout.integerSlots.empty()) return;
    auto filled = fillRightAligned(digits, layout.integerSlots, section.tokens);
    if (layout.grouping) {
        std::string joined;
        for (const auto& part : filled) joined += part;
        filled.assign(filled.size(), "");
        filled[0] = groupThousands(joined);
    }
    for (std::size_t k = 0; k < filled.size(); ++k)
        rendered.slotText[layout.integerSlots[k]] = filled[k];
}

void placeFraction(const Section& section, const NumberLayout& layout, const std::string& digits,
                   Rendered& rendered) {
    std::vector<std::string> out(layout.fractionSlots.size());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = std::string(1, digits[k]);
    // Trailing zeros under # vanish and under ? turn into spaces.
    for (std::size_t k = out.size(); k-- > 0;) {
        const Kind kind = section.tokens[layout.fractionSlots[k]].kind;
        if (kind == Kind::Zero || out[k] != "0") break;
        out[k] = kind == Kind::Question ? " " : "";
    }
    for (std::size_t k = 0; k < out.size(); ++k)
        rendered.slotText[layout.fractionSlots[k]] = out[k];
}

std::string assemble(const Section& section, const Rendered& rendered, std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        const Token& token = section.tokens[i];
        switch (token.kind) {
            case Kind::Literal:
            case Kind::Percent:
                out += token.text;
                break;
            case Kind::Point:
                out += '.';
                break;
            case Kind::Text:
                out += text;
                break;
            default:
                out += rendered.slotText[i];
                break;
        }
    }
    return out;
}

std::string renderExponent(const Section& section, const NumberLayout& layout, DecimalNumber number,
                           Rendered& rendered) {
    const int integerPlaces = static_cast<int>(layout.integerSlots.size());
    bool engineering = false;
    for (std::size_t slot : layout.integerSlots) {
        engineering = engineering || section.tokens[slot].kind != Kind::Zero;
    }
    engineering = engineering && integerPlaces > 1;
    const int decimals = static_cast<int>(layout.fractionSlots.size());
    int exponent = 0;
    DecimalNumber mantissa;
    if (!number.isZero()) {
        auto choose = [&](int leading) {
            if (engineering) {
                return static_cast<int>(std::floor(static_cast<double>(leading) / integerPlaces)) *
                       integerPlaces;
            }
            return leading - std::max(integerPlaces, 1) + 1;
        };
        exponent = choose(number.exponent());
        mantissa = number.shifted(-exponent).roundedToDecimals(decimals);
        if (mantissa.exponent() + exponent != number.exponent()) {  // 9.99 rounded up to 10.0
            exponent = choose(mantissa.exponent() + exponent);
            mantissa = number.shifted(-exponent).roundedToDecimals(decimals);
        }
    }
    placeInteger(section, layout, mantissa.integerDigits(), rendered);
    placeFraction(section, layout, mantissa.fractionDigits(decimals), rendered);
    const Token& marker = section.tokens[layout.exponentToken];
    std::string sign = exponent < 0 ? "-" : (marker.text == "+" ? "+" : "");
    rendered.slotText[layout.exponentToken] = "E" + sign;
    const std::string power = std::to_string(std::abs(exponent));
    placeInteger(section, NumberLayout{layout.exponentSlots, {}, {}, false, std::string::npos},
                 power == "0" ? std::string() : power, rendered);
    return assemble(section, rendered, {});
}

// Closest fraction with a denominator below maxDenominator (ties: the smaller denominator).
std::pair<std::int64_t, std::int64_t> closestFraction(double value, std::int64_t maxDenominator) {
    std::int64_t bestNumerator = std::llround(value);
    std::int64_t bestDenominator = 1;
    double bestError = std::fabs(value - static_cast<double>(bestNumerator));
    for (std::int64_t d = 2; d <= maxDenominator && bestError > 0; ++d) {
        const std::int64_t n = std::llround(value * static_cast<double>(d));
        const double error = std::fabs(value - static_cast<double>(n) / static_cast<double>(d));
        if (error < bestError - 1e-12) {
            bestError = error;
            bestNumerator = n;
            bestDenominator = d;
        }
    }
    return {bestNumerator, bestDenominator};
}

std::string renderFraction(const Section& section, double value) {
    // Placeholder groups: [whole] literal numerator / denominator.
    std::size_t slash = 0;
    while (section.tokens[slash].kind != Kind::Slash) ++slash;
    std::size_t numeratorStart = slash;
    while (numeratorStart > 0 && isDigitPlaceholder(section.tokens[numeratorStart - 1].kind)) {
        --numeratorStart;
    }
    std::vector<std::size_t> wholeSlots, numeratorSlots, denominatorSlots;
    for (std::size_t i = 0; i < numeratorStart; ++i) {
        if (isDigitPlaceholder(section.tokens[i].kind)) wholeSlots.push_back(i);
    }
    for (std::size_t i = numeratorStart; i < slash; ++i) numeratorSlots.push_back(i);
    std::size_t denominatorEnd = slash + 1;
    std::string fixedDenominator;
    while (denominatorEnd < section.tokens.size()) {
        const Token& token = section.tokens[denominatorEnd];
        if (isDigitPlaceholder(token.kind)) {
            denominatorSlots.push_back(denominatorEnd);
        } else if (token.kind == Kind::Literal && denominatorSlots.empty() && !token.text.empty() &&
                   std::isdigit(static_cast<unsigned char>(token.text[0]))) {
            std::size_t n = 0;
            while (n < token.text.size() && std::isdigit(static_cast<unsigned char>(token.text[n])))
                ++n;
            fixedDenominator = token.text.substr(0, std::min<std::size_t>(n, 9));
            break;
        } else {
            break;
        }
        ++denominatorEnd;
    }

    double whole = 0;
    double part = value;
    if (!wholeSlots.empty()) {
        whole = std::floor(value);
        part = value - whole;
    }
    std::int64_t numerator = 0;
    std::int64_t denominator = 1;
    if (!fixedDenominator.empty()) {
        denominator = std::max<std::int64_t>(std::stoll(fixedDenominator), 1);
        numerator = std::llround(part * static_cast<double>(denominator));
    } else {
        std::int64_t maxDenominator = 1;
        for (std::size_t k = 0; k < std::min<std::size_t>(denominatorSlots.size(), 4); ++k) {
            maxDenominator *= 10;
        }
        std::tie(numerator, denominator) =
            closestFraction(part, std::max<std::int64_t>(maxDenominator - 1, 1));
    }
    if (!wholeSlots.empty() && numerator == denominator) {
        whole += 1;
        numerator = 0;
    }

    Rendered rendered{std::vector<std::string>(section.tokens.size())};
    const bool blankFraction = !wholeSlots.empty() && numerator == 0;
    if (!wholeSlots.empty()) {
        std::string digits =
            whole == 0 ? std::string() : DecimalNumber::fromDouble(whole).integerDigits();
        if (digits.empty() && blankFraction) digits = "0";
        auto filled = fillRightAligned(digits, wholeSlots, section.tokens);
        for (std::size_t k = 0; k < filled.size(); ++k)
            rendered.slotText[wholeSlots[k]] = filled[k];
    }
    auto numeratorText =
        fillRightAligned(std::to_string(numerator), numeratorSlots, section.tokens);
    for (std::size_t k = 0; k < numeratorSlots.size(); ++k) {
        rendered.slotText[numeratorSlots[k]] = numeratorText[k];
    }
    rendered.slotText[slash] = "/";
    if (fixedDenominator.empty()) {
        // The denominator is left-aligned: its unused places pad on the right.
        const std::string digits = std::to_string(denominator);
        for (std::size_t k = 0; k < denominatorSlots.size(); ++k) {
            const Kind kind = section.tokens[denominatorSlots[k]].kind;
            std::string piece;
            if (k < digits.size()) {
                piece =
                    k + 1 == denominatorSlots.size() ? digits.substr(k) : std::string(1, digits[k]);
            } else if (kind == Kind::Question) {
                piece = " ";
            }
            rendered.slotText[denominatorSlots[k]] = piece;
        }
    }
    std::string out;
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        const Token& token = section.tokens[i];
        const bool inFraction = i >= numeratorStart && i < denominatorEnd;
        std::string piece;
        if (token.kind == Kind::Literal || token.kind == Kind::Percent) {
            piece = token.text;
        } else if (token.kind == Kind::Point) {
            piece = ".";
        } else {
            piece = rendered.slotText[i];
        }
        if (blankFraction && inFraction) {
            // A whole number shows no fraction, but keeps its width for alignment.
            std::size_t width = 0;
            for (unsigned char c : piece) width += (c & 0xC0) != 0x80 ? 1 : 0;
            piece.assign(width, ' ');
        }
        out += piece;
    }
    return out;
}

std::string renderNumber(const Section& section, double value) {
    if (section.hasFraction) return renderFraction(section, value);
    DecimalNumber number = DecimalNumber::fromDouble(value).shifted(2 * section.percentCount -
                                                                    3 * section.scaleCommas);
    const NumberLayout& layout = section.layout;
    Rendered rendered{std::vector<std::string>(section.tokens.size())};
    if (layout.exponentToken != std::string::npos) {
        return renderExponent(section, layout, number, rendered);
    }
    const int decimals = static_cast<int>(layout.fractionSlots.size());
    number = number.roundedToDecimals(decimals);
    placeInteger(section, layout, number.integerDigits(), rendered);
    placeFraction(section, layout, number.fractionDigits(decimals), rendered);
    // Digits with no placeholder before the point still show ("#" alone shows 0 as "").
    return assemble(section, rendered, {});
}

// ---- rendering dates and times ----------------------------------------------------------

constexpr std::array<std::string_view, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<std::string_view, 7> kDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

std::string twoDigits(std::int64_t value) {
    std::string text = std::to_string(value);
    return text.size() < 2 ? "0" + text : text;
}

std::string padded(std::int64_t value, int width) {
    std::string text = std::to_string(value);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
    return text;
}

std::string renderDate(const Section& section, double value, bool date1904) {
    const auto moment = SerialMoment::fromSerial(value, date1904, section.subSecondDigits);
    if (!moment) return "########";  // the application shows a negative or huge date as hashes
    std::string out;
    for (const Token& token : section.tokens) {
        switch (token.kind) {
            case Kind::Literal:
                out += token.text;
                break;
            case Kind::Percent:
                out += token.text;
                break;
            case Kind::Point:
                out += '.';
                break;
            case Kind::Year2:
                out += twoDigits(moment->year % 100);
                break;
            case Kind::Year4:
                out += padded(moment->year, 4);
                break;
            case Kind::Month:
                out += std::to_string(moment->month);
                break;
            case Kind::Month2:
                out += twoDigits(moment->month);
                break;
            case Kind::MonthAbbr:
                out += kMonthNames[moment->month - 1].substr(0, 3);
                break;
            case Kind::MonthFull:
                out += kMonthNames[moment->month - 1];
                break;
            case Kind::MonthLetter:
                out += kMonthNames[moment->month - 1].substr(0, 1);
                break;
            case Kind::Day:
                out += std::to_string(moment->day);
                break;
            case Kind::Day2:
                out += twoDigits(moment->day);
                break;
            case Kind::DayAbbr:
                out += kDayNames[moment->weekday].substr(0, 3);
                break;
            case Kind::DayFull:
                out += kDayNames[moment->weekday];
                break;
            case Kind::Hour:
            case Kind::Hour2: {
                std::int64_t hour = moment->hour;
                if (section.hasAmPm) hour = hour % 12 == 0 ? 12 : hour % 12;
                out += token.kind == Kind::Hour ? std::to_string(hour) : twoDigits(hour);
                break;
            }
            case Kind::Minute:
                out += std::to_string(moment->minute);
                break;
            case Kind::Minute2:
                out += twoDigits(moment->minute);
                break;
            case Kind::Second:
                out += std::to_string(moment->second);
                break;
            case Kind::Second2:
                out += twoDigits(moment->second);
                break;
            case Kind::SubSecond:
                out += '.' + padded(moment->fraction, section.subSecondDigits)
                                 .substr(0, static_cast<std::size_t>(token.width));
                break;
            case Kind::AmPm:
                out += moment->hour < 12 ? "AM" : "PM";
                break;
            case Kind::AorP:
                out += moment->hour < 12 ? token.text[0] : token.text[1];
                break;
            case Kind::ElapsedHours:
                out += padded(moment->totalSeconds / 3600, token.width);
                break;
            case Kind::ElapsedMinutes:
                out += padded(moment->totalSeconds / 60, token.width);
                break;
            case Kind::ElapsedSeconds:
                out += padded(moment->totalSeconds, token.width);
                break;
            default:
                break;  // digit placeholders have no meaning in a date
        }
    }
    return out;
}

std::string renderSection(const Section& section, double value, bool date1904) {
    if (section.isDate) return renderDate(section, value, date1904);
    if (section.hasGeneral) {
        Rendered rendered{std::vector<std::string>(section.tokens.size())};
        for (std::size_t i = 0; i < section.tokens.size(); ++i) {
            if (section.tokens[i].kind == Kind::General)
                rendered.slotText[i] = generalUnsigned(value);
        }
        return assemble(section, rendered, {});
    }
    if (section.hasDigits) return renderNumber(section, value);
    if (section.hasText) return generalUnsigned(value);  // "@" alone shows a number as General
    return assemble(section, Rendered{std::vector<std::string>(section.tokens.size())}, {});
}

}  // namespace

// ---- NumberFormat ---------------------------------------------------------------------------

struct NumberFormat::Compiled {
    std::vector<Section> sections;
    bool hasConditions = false;
};

std::string formatGeneral(double value) {
    if (!std::isfinite(value)) return "#NUM!";
    const std::string text = generalUnsigned(std::fabs(value));
    return value < 0 ? "-" + text : text;
}

std::string_view builtinFormatCode(int id) {
    switch (id) {
        case 0:
            return "General";
        case 1:
            return "0";
        case 2:
            return "0.00";
        case 3:
            return "#,##0";
        case 4:
            return "#,##0.00";
        case 5:
            return "\"$\"#,##0_);\\(\"$\"#,##0\\)";
        case 6:
            return "\"$\"#,##0_);[Red]\\(\"$\"#,##0\\)";
        case 7:
            return "\"$\"#,##0.00_);\\(\"$\"#,##0.00\\)";
        case 8:
            return "\"$\"#,##0.00_);[Red]\\(\"$\"#,##0.00\\)";
        case 9:
            return "0%";
        case 10:
            return "0.00%";
        case 11:
            return "0.00E+00";
        case 12:
            return "# ?/?";
        case 13:
            return "# ?"
                   "?/?"
                   "?";  // split so that no trigraph forms
        case 14:
            return "m/d/yyyy";
        case 15:
            return "d-mmm-yy";
        case 16:
            return "d-mmm";
        case 17:
            return "mmm-yy";
        case 18:
            return "h:mm AM/PM";
        case 19:
            return "h:mm:ss AM/PM";
        case 20:
            return "h:mm";
        case 21:
            return "h:mm:ss";
        case 22:
            return "m/d/yyyy h:mm";
        case 37:
            return "#,##0 ;(#,##0)";
        case 38:
            return "#,##0 ;[Red](#,##0)";
        case 39:
            return "#,##0.00;(#,##0.00)";
        case 40:
            return "#,##0.00;[Red](#,##0.00)";
        case 41:
            return "_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)";
        case 42:
            return "_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)";
        case 43:
            return "_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)";
        case 44:
            return "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)";
        case 45:
            return "mm:ss";
        case 46:
            return "[h]:mm:ss";
        case 47:
            return "mm:ss.0";
        case 48:
            return "##0.0E+0";
        case 49:
            return "@";
        default:
            return {};
    }
}

NumberFormat::NumberFormat() = default;

NumberFormat NumberFormat::fromCode(std::string_view code) {
    NumberFormat format;
    if (code.empty() || lower(code) == "general") return format;
    auto compiled = std::make_shared<Compiled>();
    compiled->sections = parseSections(code);
    for (const Section& section : compiled->sections) {
        compiled->hasConditions =
            compiled->hasConditions || section.condition.compare != Compare::None;
    }
    format.m_compiled = std::move(compiled);
    return format;
}

NumberFormat NumberFormat::fromBuiltinId(int id) {
    return fromCode(builtinFormatCode(id));
}

std::string NumberFormat::formatNumber(double value, bool date1904) const {
    if (!std::isfinite(value)) return "#NUM!";
    if (!m_compiled) return formatGeneral(value);
    const auto& sections = m_compiled->sections;
    // A trailing text section takes no part in choosing a section for a number.
    std::size_t numeric = sections.size();
    if (numeric == 4 ||
        (numeric > 1 && sections[numeric - 1].hasText && !sections[numeric - 1].hasDigits)) {
        --numeric;
    }
    if (numeric == 0) return formatGeneral(value);
    std::size_t chosen = 0;
    bool showSign = value < 0;
    if (m_compiled->hasConditions) {
        const Condition first = sections[0].condition;
        Condition second = numeric > 1 ? sections[1].condition : Condition{};
        if (numeric > 2 && second.compare == Compare::None) second = {Compare::Less, 0};
        if (first.matches(value)) {
            chosen = 0;
        } else if (numeric > 1 && second.matches(value)) {
            chosen = 1;
        } else if (numeric > 2) {
            chosen = 2;
        } else {
            return "########";  // no section fits: the application shows hashes
        }
        showSign = value < 0 && !sections[chosen].condition.explicitlyNegative() &&
                   !(chosen == 1 && sections[1].condition.compare == Compare::None);
    } else if (value < 0 && numeric >= 2) {
        chosen = 1;
        showSign = false;
    } else if (value == 0 && numeric >= 3) {
        chosen = 2;
    }
    const Section& section = sections[chosen];
    if (section.isDate) return renderSection(section, value, date1904);
    std::string text = renderSection(section, std::fabs(value), date1904);
    return showSign ? "-" + text : text;
}

std::string NumberFormat::formatText(std::string_view text) const {
    if (!m_compiled) return std::string(text);
    const auto& sections = m_compiled->sections;
    const Section* textSection = nullptr;
    if (sections.size() == 4) {
        textSection = &sections[3];
    } else {
        for (const Section& section : sections) {
            if (section.hasText) textSection = &section;
        }
    }
    if (textSection == nullptr) return std::string(text);
    return assemble(*textSection, Rendered{std::vector<std::string>(textSection->tokens.size())},
                    text);
}

}  // namespace velquor::sheet
