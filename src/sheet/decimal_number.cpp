// DecimalNumber: digit-string rounding, free of binary floating-point surprises.
#include "sheet/decimal_number.h"

#include <charconv>
#include <cmath>

namespace velquor::sheet {

namespace {

constexpr int kSignificantDigits = 15;

void trim(DecimalNumber& number) {
    std::size_t leading = 0;
    while (leading < number.digits.size() && number.digits[leading] == '0') ++leading;
    number.digits.erase(0, leading);
    number.pointPosition -= static_cast<int>(leading);
    while (!number.digits.empty() && number.digits.back() == '0') number.digits.pop_back();
    if (number.digits.empty()) number.pointPosition = 0;
}

// Keeps the first keep digits and rounds half away from zero on the next one.
DecimalNumber roundAt(const DecimalNumber& number, long keep) {
    if (number.isZero() || keep >= static_cast<long>(number.digits.size())) return number;
    DecimalNumber result;
    if (keep < 0) return result;
    const bool roundUp = number.digits[static_cast<std::size_t>(keep)] >= '5';
    result.digits = number.digits.substr(0, static_cast<std::size_t>(keep));
    result.pointPosition = number.pointPosition;
    if (roundUp) {
        long i = keep - 1;
        while (i >= 0 && result.digits[static_cast<std::size_t>(i)] == '9') {
            result.digits[static_cast<std::size_t>(i)] = '0';
            --i;
        }
        if (i >= 0) {
            ++result.digits[static_cast<std::size_t>(i)];
        } else {
            result.digits.insert(result.digits.begin(), '1');
            ++result.pointPosition;
        }
    }
    trim(result);
    return result;
}

}  // namespace

DecimalNumber DecimalNumber::fromDouble(double value) {
    DecimalNumber number;
    value = std::fabs(value);
    if (value == 0 || !std::isfinite(value)) return number;
    // The shortest digits that identify the double; the rounding to 15 is then done on them.
    char buffer[40];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* e = buffer;
    while (e != result.ptr && *e != 'e') {
        if (*e >= '0' && *e <= '9') number.digits += *e;
        ++e;
    }
    int exponent = 0;
    if (e != result.ptr) {
        const char* start = e + 1;
        if (*start == '+') ++start;
        std::from_chars(start, result.ptr, exponent);
    }
    number.pointPosition = exponent + 1;
    trim(number);
    return roundAt(number, kSignificantDigits);
}

DecimalNumber DecimalNumber::shifted(int powerOfTen) const {
    DecimalNumber result = *this;
    if (!isZero()) result.pointPosition += powerOfTen;
    return result;
}

DecimalNumber DecimalNumber::roundedToDecimals(int decimals) const {
    if (isZero()) return *this;
    const long keep = static_cast<long>(pointPosition) + decimals;
    if (keep < 0) return DecimalNumber();
    if (keep == 0) {
        // Only the rounding digit is left: 0.6 -> 1, 0.4 -> 0.
        DecimalNumber result;
        if (digits.front() >= '5') {
            result.digits = "1";
            result.pointPosition = pointPosition + 1;
        }
        return result;
    }
    return roundAt(*this, keep);
}

DecimalNumber DecimalNumber::roundedToSignificant(int count) const {
    return roundAt(*this, count);
}

std::string DecimalNumber::integerDigits() const {
    if (isZero() || pointPosition <= 0) return {};
    std::string result =
        digits.substr(0, static_cast<std::size_t>(std::min<long>(pointPosition, digits.size())));
    result.append(static_cast<std::size_t>(pointPosition) - result.size(), '0');
    return result;
}

std::string DecimalNumber::fractionDigits(int count) const {
    std::string result;
    result.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        const long index = static_cast<long>(pointPosition) + i;  // digit i after the point
        result += index >= 0 && index < static_cast<long>(digits.size())
                      ? digits[static_cast<std::size_t>(index)]
                      : '0';
    }
    return result;
}

}  // namespace velquor::sheet
