// Plain, scientific and General numbers: digits come from DecimalNumber (rounded as the
// application rounds) and go into the placeholders the parser laid out.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "sheet/decimal_number.h"
#include "sheet/format_render.h"
#include "sheet/number_format.h"

namespace velquor::sheet::format {

namespace {

constexpr int kGeneralWidth = 11;
constexpr double kWholeIntegerLimit = 1e15;

bool isUtf8Lead(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

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

// Integer digits, the point and the decimals share the eleven characters; empty when the
// integer part alone is wider.
std::string generalFixed(const DecimalNumber& number) {
    const int exponent = number.exponent();
    const int decimals = exponent >= 0 ? std::max(0, kGeneralWidth - 2 - exponent) : 9;
    const DecimalNumber rounded = number.roundedToDecimals(decimals);
    const std::string whole = rounded.integerDigits();
    if (static_cast<int>(whole.size()) > kGeneralWidth) return {};
    std::string fraction = rounded.fractionDigits(decimals);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    std::string text = whole.empty() ? "0" : whole;
    if (!fraction.empty()) text += "." + fraction;
    return text;
}

char padding(Kind kind) {
    return kind == Kind::Zero ? '0' : kind == Kind::Question ? ' ' : '\0';
}

// Separators every three places, counted over the places that show something: a padding
// space under "?" keeps the separator's width too, so "?,???" lines up with "1,234".
std::string groupThousands(const std::vector<std::string>& filled) {
    std::string places;
    for (const std::string& part : filled) places += part;
    std::string out;
    for (std::size_t i = 0; i < places.size(); ++i) {
        out += places[i];
        const std::size_t toTheRight = places.size() - 1 - i;
        if (toTheRight > 0 && toTheRight % 3 == 0) out += places[i] == ' ' ? ' ' : ',';
    }
    return out;
}

void placeInteger(const Section& section, const std::vector<std::size_t>& slots, bool grouping,
                  const std::string& digits, SlotTexts& rendered) {
    if (slots.empty()) return;
    auto filled = fillRightAligned(digits, slots, section.tokens);
    if (grouping) {
        const std::string grouped = groupThousands(filled);
        filled.assign(filled.size(), "");
        filled[0] = grouped;
    }
    for (std::size_t k = 0; k < filled.size(); ++k) rendered[slots[k]] = std::move(filled[k]);
}

void placeDecimals(const Section& section, const std::string& digits, SlotTexts& rendered) {
    const auto& slots = section.layout.fractionSlots;
    std::vector<std::string> out(slots.size());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = std::string(1, digits[k]);
    // Trailing zeros under # vanish and under ? turn into spaces.
    for (std::size_t k = out.size(); k-- > 0;) {
        const Kind kind = section.tokens[slots[k]].kind;
        if (kind == Kind::Zero || out[k] != "0") break;
        out[k] = kind == Kind::Question ? " " : "";
    }
    for (std::size_t k = 0; k < out.size(); ++k) rendered[slots[k]] = std::move(out[k]);
}

std::string assembled(const Section& section, const SlotTexts& rendered) {
    DisplayText out;
    assemble(section, rendered, {}, out);
    return out.take();
}

// Engineering notation ("##0.0E+0") keeps the exponent a multiple of the integer places.
int chooseExponent(int leading, int integerPlaces, bool engineering) {
    if (engineering) {
        return static_cast<int>(std::floor(static_cast<double>(leading) / integerPlaces)) *
               integerPlaces;
    }
    return leading - std::max(integerPlaces, 1) + 1;
}

std::string renderExponent(const Section& section, const DecimalNumber& number) {
    const NumberLayout& layout = section.layout;
    const int integerPlaces = static_cast<int>(layout.integerSlots.size());
    const bool engineering =
        integerPlaces > 1 &&
        std::any_of(layout.integerSlots.begin(), layout.integerSlots.end(),
                    [&](std::size_t slot) { return section.tokens[slot].kind != Kind::Zero; });
    const int decimals = static_cast<int>(layout.fractionSlots.size());
    int exponent = 0;
    DecimalNumber mantissa;
    if (!number.isZero()) {
        exponent = chooseExponent(number.exponent(), integerPlaces, engineering);
        mantissa = number.shifted(-exponent).roundedToDecimals(decimals);
        if (mantissa.exponent() + exponent != number.exponent()) {  // 9.99 rounded up to 10.0
            exponent = chooseExponent(mantissa.exponent() + exponent, integerPlaces, engineering);
            mantissa = number.shifted(-exponent).roundedToDecimals(decimals);
        }
    }
    SlotTexts rendered(section.tokens.size());
    placeInteger(section, layout.integerSlots, layout.grouping, mantissa.integerDigits(), rendered);
    placeDecimals(section, mantissa.fractionDigits(decimals), rendered);
    const Token& marker = section.tokens[layout.exponentToken];
    const std::string sign = exponent < 0 ? "-" : (marker.text == "+" ? "+" : "");
    rendered[layout.exponentToken] = "E" + sign;
    const std::string power = exponent == 0 ? std::string() : std::to_string(std::abs(exponent));
    placeInteger(section, layout.exponentSlots, false, power, rendered);
    return assembled(section, rendered);
}

}  // namespace

void DisplayText::append(std::string_view piece) {
    if (m_characters + piece.size() <= kMaxDisplayedCharacters) {
        m_text.append(piece);
        m_characters +=
            static_cast<std::size_t>(std::count_if(piece.begin(), piece.end(), isUtf8Lead));
        return;
    }
    // Near the bound: character by character, never splitting a UTF-8 sequence.
    for (std::size_t i = 0; i < piece.size();) {
        std::size_t length = 1;
        while (i + length < piece.size() && !isUtf8Lead(piece[i + length])) ++length;
        if (m_characters == kMaxDisplayedCharacters) return;
        m_text.append(piece.substr(i, length));
        ++m_characters;
        i += length;
    }
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
        if (std::string text = generalFixed(number); !text.empty()) return text;
    }
    const int exponentDigits = std::abs(exponent) >= 100 ? 3 : 2;
    return scientific(number, kGeneralWidth - 4 - exponentDigits);
}

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

void assemble(const Section& section, const SlotTexts& slots, std::string_view text,
              DisplayText& out) {
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        const Token& token = section.tokens[i];
        switch (token.kind) {
            case Kind::Literal:
            case Kind::Percent:
            case Kind::Slash:
            case Kind::FixedDenominator:
                out.append(token.text);
                break;
            case Kind::Point:
                out.append(".");
                break;
            case Kind::Text:
                out.append(text);
                break;
            default:
                out.append(slots[i]);
                break;
        }
    }
}

std::string renderNumber(const Section& section, double value) {
    DecimalNumber number = DecimalNumber::fromDouble(value).shifted(2 * section.percentCount -
                                                                    3 * section.scaleCommas);
    const NumberLayout& layout = section.layout;
    if (layout.exponentToken != std::string::npos) return renderExponent(section, number);
    const int decimals = static_cast<int>(layout.fractionSlots.size());
    number = number.roundedToDecimals(decimals);
    SlotTexts rendered(section.tokens.size());
    placeInteger(section, layout.integerSlots, layout.grouping, number.integerDigits(), rendered);
    placeDecimals(section, number.fractionDigits(decimals), rendered);
    return assembled(section, rendered);
}

std::string renderGeneralSection(const Section& section, double value) {
    SlotTexts rendered(section.tokens.size());
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        if (section.tokens[i].kind == Kind::General) rendered[i] = generalUnsigned(value);
    }
    return assembled(section, rendered);
}

}  // namespace velquor::sheet::format
