// DecimalNumber: a non-negative double as decimal digits, rounded as the spreadsheet
// application rounds (15 significant digits, then half away from zero), so that 2.675 with
// two decimals shows 2.68 where C's printf would print 2.67.
#pragma once

#include <string>

namespace velquor::sheet {

struct DecimalNumber {
    std::string digits;     // significant digits, no leading or trailing zeros; empty for zero
    int pointPosition = 0;  // value = 0.<digits> x 10^pointPosition

    // |value| rounded to 15 significant digits.
    static DecimalNumber fromDouble(double value);

    bool isZero() const { return digits.empty(); }
    // The power of ten of the leading digit (1234 -> 3, 0.05 -> -2); 0 for zero.
    int exponent() const { return isZero() ? 0 : pointPosition - 1; }
    DecimalNumber shifted(int powerOfTen) const;  // exact multiplication by 10^powerOfTen
    // Rounded half away from zero to this many decimals (negative: to tens, hundreds...).
    DecimalNumber roundedToDecimals(int decimals) const;
    // Rounded half away from zero to this many significant digits.
    DecimalNumber roundedToSignificant(int count) const;

    std::string integerDigits() const;  // "" when the integer part is zero
    // Exactly count digits after the point (zero-padded).
    std::string fractionDigits(int count) const;
};

}  // namespace velquor::sheet
