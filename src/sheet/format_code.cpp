// The format-code parser: splits a code into sections, each section into tokens, and then
// settles what context decides (minutes or months, grouping or scaling commas).
#include "sheet/format_code.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <optional>

namespace velquor::sheet::format {

namespace {

char lowerChar(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerChar(c);
    return out;
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    std::size_t length = 1;
    while (at + length < text.size() &&
           (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

// A run of one date letter maps to a field by its length.
struct DateField {
    char letter;
    std::size_t shortestRun;
    Kind kind;
};

// Longest run first within a letter: the first entry whose shortest run fits wins.
constexpr std::array kDateFields = {
    DateField{'y', 3, Kind::Year4},     DateField{'y', 1, Kind::Year2},
    DateField{'e', 1, Kind::Year4},     DateField{'m', 5, Kind::MonthLetter},
    DateField{'m', 4, Kind::MonthFull}, DateField{'m', 3, Kind::MonthAbbr},
    DateField{'m', 2, Kind::Month2},    DateField{'m', 1, Kind::Month},
    DateField{'d', 4, Kind::DayFull},   DateField{'d', 3, Kind::DayAbbr},
    DateField{'d', 2, Kind::Day2},      DateField{'d', 1, Kind::Day},
    DateField{'h', 2, Kind::Hour2},     DateField{'h', 1, Kind::Hour},
    DateField{'s', 2, Kind::Second2},   DateField{'s', 1, Kind::Second},
};

std::optional<Kind> dateFieldKind(char letter, std::size_t run) {
    for (const DateField& field : kDateFields) {
        if (field.letter == letter && run >= field.shortestRun) return field.kind;
    }
    return std::nullopt;
}

class SectionParser {
public:
    explicit SectionParser(std::string_view code) : m_code(code) {}

    Section parse() {
        while (m_at < m_code.size()) parseOne();
        return std::move(m_section);
    }

private:
    void parseOne() {
        const char c = m_code[m_at];
        if (c == '"') return parseQuoted();
        if (c == '\\' || c == '!') return parseEscaped();
        if (c == '_') return skipWithLiteral(" ");  // the width of the next character
        if (c == '*') return skipWithLiteral("");   // fill depends on the column width
        if (c == '[') return parseBracket();
        if (isDigitPlaceholder(placeholderKind(c))) return parsePlaceholder(c);
        if (c == '.') return parsePoint();
        if (c == ',') return push({Kind::Comma, "", 0}, 1);
        if (c == '%') {
            ++m_section.percentCount;
            return push({Kind::Percent, "%", 0}, 1);
        }
        if (c == '@') {
            m_section.hasText = true;
            return push({Kind::Text, "", 0}, 1);
        }
        if (isExponentAt()) return push({Kind::Exponent, std::string(1, m_code[m_at + 1]), 0}, 2);
        if (c == '/' && m_section.hasDigits && !m_section.isDate) return parseSlash();
        if (parseKeyword()) return;
        if (parseDateField()) return;
        const std::size_t length = utf8SequenceLength(m_code, m_at);
        addLiteral(m_code.substr(m_at, length));
        m_at += length;
    }

    static Kind placeholderKind(char c) {
        return c == '0'   ? Kind::Zero
               : c == '#' ? Kind::Hash
               : c == '?' ? Kind::Question
                          : Kind::Literal;
    }

    void push(Token token, std::size_t used) {
        m_section.tokens.push_back(std::move(token));
        m_at += used;
    }

    void addLiteral(std::string_view text) {
        auto& tokens = m_section.tokens;
        if (!tokens.empty() && tokens.back().kind == Kind::Literal) {
            tokens.back().text += text;
        } else {
            tokens.push_back({Kind::Literal, std::string(text), 0});
        }
    }

    std::size_t runLength(char letter) const {
        std::size_t n = 0;
        while (m_at + n < m_code.size() && lowerChar(m_code[m_at + n]) == letter) ++n;
        return n;
    }

    bool matchesHere(std::string_view word) const {
        return lower(m_code.substr(m_at, word.size())) == word;
    }

    void parseQuoted() {
        const std::size_t close = m_code.find('"', m_at + 1);
        const std::size_t end = close == std::string_view::npos ? m_code.size() : close;
        addLiteral(m_code.substr(m_at + 1, end - m_at - 1));
        m_at = std::min(end + 1, m_code.size());
    }

    void parseEscaped() {
        if (m_at + 1 >= m_code.size()) {
            ++m_at;
            return;
        }
        const std::size_t length = utf8SequenceLength(m_code, m_at + 1);
        addLiteral(m_code.substr(m_at + 1, length));
        m_at += 1 + length;
    }

    void skipWithLiteral(std::string_view shown) {
        if (!shown.empty()) addLiteral(shown);
        m_at += m_at + 1 < m_code.size() ? 1 + utf8SequenceLength(m_code, m_at + 1) : 1;
    }

    void parsePlaceholder(char c) {
        m_section.hasDigits = true;
        push({placeholderKind(c), "", 0}, 1);
    }

    void parsePoint() {
        ++m_at;
        const std::size_t zeros = runLength('0');
        if (!m_section.isDate || zeros == 0) {
            m_section.tokens.push_back({Kind::Point, "", 0});
            return;
        }
        const int digits = static_cast<int>(std::min<std::size_t>(zeros, 3));
        m_section.subSecondDigits = std::max(m_section.subSecondDigits, digits);
        push({Kind::SubSecond, "", digits}, zeros);
    }

    bool isExponentAt() const {
        return lowerChar(m_code[m_at]) == 'e' && m_at + 1 < m_code.size() &&
               (m_code[m_at + 1] == '+' || m_code[m_at + 1] == '-') && m_section.hasDigits;
    }

    void parseSlash() {
        m_section.hasFraction = true;
        push({Kind::Slash, "/", 0}, 1);
        // A written denominator ("?/8", "#/100") is one number, not placeholders.
        if (m_at >= m_code.size() || m_code[m_at] < '1' || m_code[m_at] > '9') return;
        std::size_t n = 0;
        while (m_at + n < m_code.size() &&
               std::isdigit(static_cast<unsigned char>(m_code[m_at + n])))
            ++n;
        push({Kind::FixedDenominator, std::string(m_code.substr(m_at, n)), 0}, n);
    }

    bool parseKeyword() {
        if (matchesHere("general")) {
            m_section.hasGeneral = true;
            push({Kind::General, "", 0}, 7);
        } else if (matchesHere("am/pm")) {
            m_section.hasAmPm = m_section.isDate = true;
            push({Kind::AmPm, "", 0}, 5);
        } else if (matchesHere("a/p")) {
            m_section.hasAmPm = m_section.isDate = true;
            push({Kind::AorP, std::string{m_code[m_at], m_code[m_at + 2]}, 0}, 3);
        } else {
            return false;
        }
        return true;
    }

    bool parseDateField() {
        const char letter = lowerChar(m_code[m_at]);
        const std::size_t run = runLength(letter);
        const auto kind = dateFieldKind(letter, run);
        if (!kind) return false;
        m_section.isDate = true;
        push({*kind, "", 0}, run);
        return true;
    }

    void parseBracket();
    bool parseElapsed(std::string_view word);
    bool parseCondition(std::string_view inside);

    std::string_view m_code;
    std::size_t m_at = 0;
    Section m_section;
};

// [Red], [$€-407], [>100], [h]: colours, [DBNum1] and other tags do not change the text.
void SectionParser::parseBracket() {
    const std::size_t close = m_code.find(']', m_at);
    if (close == std::string_view::npos) {
        addLiteral(m_code.substr(m_at));
        m_at = m_code.size();
        return;
    }
    const std::string_view inside = m_code.substr(m_at + 1, close - m_at - 1);
    m_at = close + 1;
    if (parseElapsed(lower(inside)) || parseCondition(inside)) return;
    if (!inside.empty() && inside[0] == '$') {
        // A currency or locale tag: the text before "-" is shown, the locale id is not.
        const std::string_view symbol = inside.substr(1, inside.find('-') - 1);
        if (!symbol.empty()) addLiteral(symbol);
    }
}

bool SectionParser::parseElapsed(std::string_view word) {
    if (word.empty() || word.find_first_not_of(word[0]) != std::string_view::npos) return false;
    Kind kind;
    switch (word[0]) {
        case 'h':
            kind = Kind::ElapsedHours;
            m_section.elapsedHours = true;
            break;
        case 'm':
            kind = Kind::ElapsedMinutes;
            m_section.elapsedMinutes = true;
            break;
        case 's':
            kind = Kind::ElapsedSeconds;
            m_section.elapsedSeconds = true;
            break;
        default:
            return false;
    }
    m_section.tokens.push_back({kind, "", static_cast<int>(word.size())});
    m_section.isDate = true;
    return true;
}

bool SectionParser::parseCondition(std::string_view inside) {
    static constexpr std::array<std::pair<std::string_view, Compare>, 6> kOperators = {{
        {"<=", Compare::LessEqual},
        {">=", Compare::GreaterEqual},
        {"<>", Compare::NotEqual},
        {"<", Compare::Less},
        {">", Compare::Greater},
        {"=", Compare::Equal},
    }};
    for (const auto& [symbol, compare] : kOperators) {
        if (!inside.starts_with(symbol)) continue;
        const std::string operand(inside.substr(symbol.size()));
        char* end = nullptr;
        const double value = std::strtod(operand.c_str(), &end);
        if (end != operand.c_str()) m_section.condition = {compare, value};
        return true;
    }
    return false;
}

// "m" is minutes right after hours or seconds, or right before seconds; otherwise the month.
void resolveMinutes(Section& section) {
    auto& tokens = section.tokens;
    auto isKindIn = [](std::optional<Kind> kind, std::initializer_list<Kind> kinds) {
        return kind && std::find(kinds.begin(), kinds.end(), *kind) != kinds.end();
    };
    std::optional<Kind> previous;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        Token& token = tokens[i];
        if (!isDateKind(token.kind) || token.kind == Kind::SubSecond) continue;
        if (token.kind == Kind::Month || token.kind == Kind::Month2) {
            std::optional<Kind> next;
            for (std::size_t j = i + 1; j < tokens.size() && !next; ++j) {
                if (isDateKind(tokens[j].kind)) next = tokens[j].kind;
            }
            const bool minutes =
                isKindIn(previous, {Kind::Hour, Kind::Hour2, Kind::ElapsedHours, Kind::Second,
                                    Kind::Second2, Kind::ElapsedSeconds}) ||
                isKindIn(next, {Kind::Second, Kind::Second2, Kind::ElapsedSeconds});
            if (minutes) token.kind = token.kind == Kind::Month ? Kind::Minute : Kind::Minute2;
        }
        previous = token.kind;
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
            tokens[i].comma = CommaRole::Grouping;
        } else if (!digitAfter) {
            tokens[i].comma = CommaRole::Scaling;
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

NumberLayout numberLayoutOf(const std::vector<Token>& tokens) {
    NumberLayout layout;
    enum { Integer, Fraction, Exponent } part = Integer;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (token.kind == Kind::Point && part == Integer) part = Fraction;
        if (token.kind == Kind::Exponent) {
            part = Exponent;
            layout.exponentToken = i;
        }
        if (token.kind == Kind::Comma && token.comma == CommaRole::Grouping) layout.grouping = true;
        if (!isDigitPlaceholder(token.kind)) continue;
        (part == Integer    ? layout.integerSlots
         : part == Fraction ? layout.fractionSlots
                            : layout.exponentSlots)
            .push_back(i);
    }
    return layout;
}

std::int64_t parseDenominator(const std::string& digits) {
    // Nine digits keep every product with a numerator well inside 64 bits.
    std::int64_t value = 0;
    for (char c : digits.substr(0, 9)) value = value * 10 + (c - '0');
    return std::max<std::int64_t>(value, 1);
}

// The placeholders right before the slash are the numerator, any earlier ones the whole part,
// and the placeholders (or the written number) right after it the denominator.
FractionLayout fractionLayoutOf(const std::vector<Token>& tokens) {
    FractionLayout layout;
    std::size_t slash = 0;
    while (tokens[slash].kind != Kind::Slash) ++slash;
    layout.numeratorBegin = slash;
    while (layout.numeratorBegin > 0 && isDigitPlaceholder(tokens[layout.numeratorBegin - 1].kind))
        --layout.numeratorBegin;
    for (std::size_t i = 0; i < layout.numeratorBegin; ++i) {
        if (isDigitPlaceholder(tokens[i].kind)) layout.wholeSlots.push_back(i);
    }
    layout.jointBegin =
        layout.wholeSlots.empty() ? layout.numeratorBegin : layout.wholeSlots.back() + 1;
    for (std::size_t i = layout.jointBegin; i < layout.numeratorBegin; ++i) {
        const Token& token = tokens[i];
        if (token.kind != Kind::Literal || token.text.find_first_not_of(' ') != std::string::npos)
            layout.jointIsBlank = false;
    }
    for (std::size_t i = layout.numeratorBegin; i < slash; ++i) layout.numeratorSlots.push_back(i);
    layout.fractionEnd = slash + 1;
    if (layout.fractionEnd < tokens.size() &&
        tokens[layout.fractionEnd].kind == Kind::FixedDenominator) {
        layout.fixedDenominator = parseDenominator(tokens[layout.fractionEnd].text);
        ++layout.fractionEnd;
    } else {
        while (layout.fractionEnd < tokens.size() &&
               isDigitPlaceholder(tokens[layout.fractionEnd].kind)) {
            layout.denominatorSlots.push_back(layout.fractionEnd++);
        }
    }
    for (std::size_t k = 0; k < std::min<std::size_t>(layout.denominatorSlots.size(), 4); ++k)
        layout.maxDenominator *= 10;
    layout.maxDenominator = std::max<std::int64_t>(layout.maxDenominator - 1, 1);
    for (std::size_t i = layout.numeratorBegin; i < layout.fractionEnd; ++i) {
        if (tokens[i].kind == Kind::Question || tokens[i].kind == Kind::Zero)
            layout.keepsWidth = true;
    }
    return layout;
}

Section parseSection(std::string_view code) {
    Section section = SectionParser(code).parse();
    resolveMinutes(section);
    resolveCommas(section);
    section.layout = numberLayoutOf(section.tokens);
    if (section.hasFraction) section.fraction = fractionLayoutOf(section.tokens);
    return section;
}

// Where the section ends: at the first ";" outside quotes, brackets and escapes.
std::size_t sectionEnd(std::string_view code, std::size_t start) {
    bool inQuote = false;
    bool inBracket = false;
    for (std::size_t i = start; i < code.size(); ++i) {
        const char c = code[i];
        if (c == '"' && !inBracket) inQuote = !inQuote;
        if (inQuote) continue;
        if (c == '\\' || c == '_' || c == '*') {
            ++i;
        } else if (c == '[') {
            inBracket = true;
        } else if (c == ']') {
            inBracket = false;
        } else if (c == ';' && !inBracket) {
            return i;
        }
    }
    return code.size();
}

}  // namespace

bool Condition::matches(double value) const {
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

bool Condition::explicitlyNegative() const {
    return (compare == Compare::Less && operand <= 0) ||
           (compare == Compare::LessEqual && operand < 0);
}

std::vector<Section> parseFormatCode(std::string_view code) {
    std::vector<Section> sections;
    std::size_t start = 0;
    while (sections.size() < 4) {
        const std::size_t end = sectionEnd(code, start);
        sections.push_back(parseSection(code.substr(start, end - start)));
        if (end >= code.size()) break;
        start = end + 1;
    }
    return sections;
}

}  // namespace velquor::sheet::format
