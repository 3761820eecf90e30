#include "mac/mac_address.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace velquor::mac {
namespace {

constexpr std::size_t kDigitCount = 12;
constexpr std::string_view kNoBreakSpace = "\xC2\xA0";

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isSeparator(char c) {
    return c == ':' || c == '-' || c == '.';
}
char toLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char toUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

unsigned hexValue(char c) {
    if (c <= '9') return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>(toLower(c) - 'a' + 10);
}

bool startsWithWhiteSpace(std::string_view text) {
    return text.front() == ' ' || text.front() == '\t' || text.starts_with(kNoBreakSpace);
}
bool endsWithWhiteSpace(std::string_view text) {
    return text.back() == ' ' || text.back() == '\t' || text.ends_with(kNoBreakSpace);
}
std::size_t whiteSpaceWidth(char c) {
    return c == ' ' || c == '\t' ? 1 : kNoBreakSpace.size();
}

// What the characters of a trimmed cell are, counted once over the text.
struct Survey {
    std::string body;             // the cell without its separators
    std::array<bool, 3> used{};   // ':' '-' '.' seen
    bool otherCharacter = false;  // anything that is neither alphanumeric nor a separator
    char firstNonHexLetter = 0;
};

std::size_t separatorIndex(char c) {
    return c == ':' ? 0 : c == '-' ? 1 : 2;
}

Survey survey(std::string_view text) {
    Survey result;
    result.body.reserve(text.size());
    for (char c : text) {
        if (isSeparator(c)) {
            result.used[separatorIndex(c)] = true;
        } else if (isHexDigit(c) || isLetter(c)) {
            if (!isHexDigit(c) && result.firstNonHexLetter == 0) result.firstNonHexLetter = c;
            result.body.push_back(c);
        } else {
            result.otherCharacter = true;
        }
    }
    return result;
}

int separatorsUsed(const Survey& s) {
    return s.used[0] + s.used[1] + s.used[2];
}

// 12 digits with one kind of separator: six groups of two for ':' and '-', three groups of
// four for '.'.
bool groupedAsUsual(std::string_view text) {
    const char separator = *std::find_if(text.begin(), text.end(), isSeparator);
    const std::size_t group = separator == '.' ? 4 : 2;
    const std::size_t groups = kDigitCount / group;
    if (text.size() != kDigitCount + groups - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool atSeparator = (i + 1) % (group + 1) == 0;
        if (atSeparator != (text[i] == separator)) return false;
    }
    return true;
}

std::optional<Refusal> refusalOfForm(std::string_view text) {
    if (text.empty()) return Refusal{RefusalKind::Empty};
    const Survey s = survey(text);
    if (s.otherCharacter) return Refusal{RefusalKind::NotMac};
    if (s.firstNonHexLetter != 0) {
        if (s.body.size() == kDigitCount && separatorsUsed(s) <= 1)
            return Refusal{RefusalKind::NotHexDigit, 0, s.firstNonHexLetter};
        return Refusal{RefusalKind::NotMac};
    }
    if (separatorsUsed(s) > 1) return Refusal{RefusalKind::SeparatorChanges};
    if (s.body.size() != kDigitCount) return Refusal{RefusalKind::DigitCount, s.body.size()};
    if (separatorsUsed(s) == 1 && !groupedAsUsual(text)) return Refusal{RefusalKind::Grouping};
    return std::nullopt;
}

std::optional<Refusal> refusalOfValue(std::string_view digits) {
    bool allZero = true;
    bool allOnes = true;
    for (char c : digits) {
        allZero = allZero && c == '0';
        allOnes = allOnes && toLower(c) == 'f';
    }
    if (allZero) return Refusal{RefusalKind::AllZero};
    if (allOnes) return Refusal{RefusalKind::Broadcast};
    if ((hexValue(digits[1]) & 1U) != 0) return Refusal{RefusalKind::Group};
    return std::nullopt;
}

std::string digitsOf(std::string_view text) {
    std::string digits;
    digits.reserve(kDigitCount);
    for (char c : text)
        if (!isSeparator(c)) digits.push_back(c);
    return digits;
}

}  // namespace

support::Phrase refusalPhrase(const Refusal& refusal) {
    using support::Phrase;
    switch (refusal.kind) {
        case RefusalKind::Empty:
            return Phrase{VELQUOR_TR_NOOP("core", "empty"), {}};
        case RefusalKind::NotMac:
            break;
        case RefusalKind::DigitCount:
            return Phrase{VELQUOR_TR_NOOP("core", "%1 hex digits, not 12"),
                          {std::to_string(refusal.digitCount)}};
        case RefusalKind::SeparatorChanges:
            return Phrase{VELQUOR_TR_NOOP("core", "the separator changes"), {}};
        case RefusalKind::NotHexDigit:
            return Phrase{VELQUOR_TR_NOOP("core", "'%1' is not a hex digit"),
                          {std::string(1, refusal.character)}};
        case RefusalKind::Grouping:
            return Phrase{
                VELQUOR_TR_NOOP("core",
                                "the digits are not in six groups of two or three groups of four"),
                {}};
        case RefusalKind::AllZero:
            return Phrase{VELQUOR_TR_NOOP("core", "the all-zero address"), {}};
        case RefusalKind::Broadcast:
            return Phrase{VELQUOR_TR_NOOP("core", "the broadcast address"), {}};
        case RefusalKind::Group:
            return Phrase{
                VELQUOR_TR_NOOP("core", "a group address (lowest bit of the first byte set)"), {}};
        case RefusalKind::StoredAsNumber:
            //: %1 is how many digits the number shows
            return Phrase{VELQUOR_TR_NOOP("core",
                                          "a number of %1 digits, not text: the spreadsheet "
                                          "dropped its leading zeros; format the column as text "
                                          "and enter the MAC addresses again"),
                          {std::to_string(refusal.digitCount)}};
    }
    return Phrase{VELQUOR_TR_NOOP("core", "not a MAC address"), {}};
}

Refusal storedAsNumber(const Refusal& refusal, std::string_view cell) {
    if (refusal.kind == RefusalKind::Empty) return refusal;
    const std::string_view text = trimWhiteSpace(cell);
    const auto digits =
        static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        }));
    return Refusal{RefusalKind::StoredAsNumber, digits};
}

std::string describe(const Refusal& refusal) {
    return refusalPhrase(refusal).english();
}

std::string_view formName(Form form) {
    switch (form) {
        case Form::Plain:
            return "plain";
        case Form::Lower:
            return "lower";
        case Form::Upper:
            return "upper";
        case Form::AsWritten:
            return "as-written";
    }
    return "plain";
}

std::optional<Form> parseForm(std::string_view name) {
    for (Form form : {Form::Plain, Form::Lower, Form::Upper, Form::AsWritten})
        if (name == formName(form)) return form;
    return std::nullopt;
}

std::string_view formNames() {
    return "plain, lower, upper, as-written";
}

std::string Address::canonical() const {
    return written(Form::Lower, {});
}

LetterCase Address::letterCase() const {
    LetterCase seen = LetterCase::None;
    for (char c : m_digits) {
        if (c >= 'a' && c <= 'f') seen = combine(seen, LetterCase::Lower);
        if (c >= 'A' && c <= 'F') seen = combine(seen, LetterCase::Upper);
    }
    return seen;
}

std::string Address::written(Form form, std::string_view cell) const {
    std::string text;
    switch (form) {
        case Form::Plain:
            return m_digits;
        case Form::Lower:
            for (char c : m_digits) text.push_back(toLower(c));
            return text;
        case Form::Upper:
            for (char c : m_digits) text.push_back(toUpper(c));
            return text;
        case Form::AsWritten:
            return std::string(cell);
    }
    return m_digits;
}

Reading::Reading(std::string_view cell) : m_outcome(Refusal{}) {
    const std::string_view text = trimWhiteSpace(cell);
    if (std::optional<Refusal> refusal = refusalOfForm(text)) {
        m_outcome = *refusal;
        return;
    }
    std::string digits = digitsOf(text);
    if (std::optional<Refusal> refusal = refusalOfValue(digits)) {
        m_outcome = *refusal;
        return;
    }
    m_outcome = Address(std::move(digits));
}

std::string_view trimWhiteSpace(std::string_view cell) {
    while (!cell.empty() && startsWithWhiteSpace(cell))
        cell.remove_prefix(whiteSpaceWidth(cell.front()));
    while (!cell.empty() && endsWithWhiteSpace(cell))
        cell.remove_suffix(whiteSpaceWidth(cell.back()));
    return cell;
}

std::optional<std::string> canonicalMac(std::string_view cell) {
    Reading reading(cell);
    if (!reading.ok()) return std::nullopt;
    return reading.address().canonical();
}

LetterCase combine(LetterCase seen, LetterCase next) {
    if (seen == LetterCase::None) return next;
    if (next == LetterCase::None || next == seen) return seen;
    return LetterCase::Mixed;
}

}  // namespace velquor::mac
