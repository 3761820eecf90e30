// Fractions ("# ?/?", "?/8", "|#\:#/#|"): the value's closest fraction under the layout the
// parser worked out, with the text between the parts kept only where its part shows.
#include <cmath>
#include <cstdint>
#include <tuple>

#include "sheet/decimal_number.h"
#include "sheet/format_render.h"

namespace velquor::sheet::format {

namespace {

// Past this a double holds no fraction worth finding, and products would overflow.
constexpr double kLargestExactNumerator = 1e15;

struct Fraction {
    std::string whole;  // digits, "" for zero
    std::string numerator;
    std::int64_t denominator = 1;
};

// Closest fraction with a denominator up to maxDenominator (ties: the smaller denominator).
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

std::string integerText(double value) {
    return DecimalNumber::fromDouble(value).roundedToDecimals(0).integerDigits();
}

Fraction fractionOf(const FractionLayout& layout, double value) {
    Fraction result;
    double whole = 0;
    double part = value;
    if (!layout.wholeSlots.empty()) {
        whole = std::floor(value);
        part = value - whole;
    }
    const std::int64_t denominator = layout.fixedDenominator;
    const auto largestDenominator = denominator > 0 ? denominator : layout.maxDenominator;
    if (part * static_cast<double>(largestDenominator) >= kLargestExactNumerator) {
        // Only a format without a whole part gets here: the value is its own numerator.
        result.numerator =
            integerText(denominator > 0 ? part * static_cast<double>(denominator) : part);
        result.denominator = std::max<std::int64_t>(denominator, 1);
        return result;
    }
    std::int64_t numerator = 0;
    if (denominator > 0) {
        result.denominator = denominator;
        numerator = std::llround(part * static_cast<double>(denominator));
    } else {
        std::tie(numerator, result.denominator) = closestFraction(part, layout.maxDenominator);
    }
    if (!layout.wholeSlots.empty() && numerator == result.denominator) {
        whole += 1;
        numerator = 0;
    }
    result.whole = whole == 0 ? std::string() : integerText(whole);
    result.numerator = std::to_string(numerator);
    return result;
}

void place(const std::vector<std::string>& texts, const std::vector<std::size_t>& slots,
           SlotTexts& rendered) {
    for (std::size_t k = 0; k < slots.size(); ++k) rendered[slots[k]] = texts[k];
}

// The denominator is left-aligned: its unused places pad on the right.
void placeDenominator(const Section& section, std::int64_t denominator, SlotTexts& rendered) {
    const auto& slots = section.fraction.denominatorSlots;
    const std::string digits = std::to_string(denominator);
    for (std::size_t k = 0; k < slots.size(); ++k) {
        std::string piece;
        if (k < digits.size()) {
            piece = k + 1 == slots.size() ? digits.substr(k) : std::string(1, digits[k]);
        } else if (section.tokens[slots[k]].kind == Kind::Question) {
            piece = " ";
        }
        rendered[slots[k]] = std::move(piece);
    }
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (unsigned char c : text) width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

// Whether a token shows as written, blanked to spaces, or not at all, once the whole part or
// the fraction part has vanished.
enum class Shown { AsWritten, Blank, Hidden };

Shown shownAs(const FractionLayout& layout, std::size_t index, bool wholeVanished,
              bool fractionVanished) {
    const bool inJoint = index >= layout.jointBegin && index < layout.numeratorBegin;
    const bool inFraction = index >= layout.jointBegin && index < layout.fractionEnd;
    if (fractionVanished && inFraction) {
        // A whole number keeps the fraction's width under "?" so that columns line up.
        return layout.keepsWidth ? Shown::Blank : Shown::Hidden;
    }
    if (wholeVanished && inJoint && !layout.jointIsBlank) return Shown::Hidden;
    return Shown::AsWritten;
}

}  // namespace

std::string renderFraction(const Section& section, double value) {
    const FractionLayout& layout = section.fraction;
    Fraction fraction = fractionOf(layout, value);
    const bool fractionVanished = !layout.wholeSlots.empty() && fraction.numerator == "0";
    if (fraction.whole.empty() && fractionVanished) fraction.whole = "0";

    SlotTexts rendered(section.tokens.size());
    place(fillRightAligned(fraction.whole, layout.wholeSlots, section.tokens), layout.wholeSlots,
          rendered);
    bool wholeVanished = true;
    for (std::size_t slot : layout.wholeSlots)
        wholeVanished = wholeVanished && rendered[slot].empty();
    place(fillRightAligned(fraction.numerator, layout.numeratorSlots, section.tokens),
          layout.numeratorSlots, rendered);
    placeDenominator(section, fraction.denominator, rendered);

    // Literals and separators are rendered like slots here, so that each can be dropped.
    DisplayText out;
    for (std::size_t i = 0; i < section.tokens.size(); ++i) {
        const Token& token = section.tokens[i];
        std::string piece = rendered[i];
        if (token.kind == Kind::Literal || token.kind == Kind::Percent ||
            token.kind == Kind::Slash || token.kind == Kind::FixedDenominator) {
            piece = token.text;
        } else if (token.kind == Kind::Point) {
            piece = ".";
        }
        switch (shownAs(layout, i, wholeVanished, fractionVanished)) {
            case Shown::AsWritten:
                out.append(piece);
                break;
            case Shown::Blank:
                out.append(std::string(displayWidth(piece), ' '));
                break;
            case Shown::Hidden:
                break;
        }
    }
    return out.take();
}

}  // namespace velquor::sheet::format
