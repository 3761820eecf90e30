// The renderers behind NumberFormat: each turns a value and one parsed section into the
// displayed text. Values reach the number and fraction renderers without their sign.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sheet/format_code.h"

namespace velquor::sheet::format {

// Text that stops growing at the most characters a cell can display, so that a short code
// such as 255 "@" cannot turn a long text into megabytes per cell.
class DisplayText {
public:
    void append(std::string_view piece);
    std::string take() { return std::move(m_text); }

private:
    std::string m_text;
    std::size_t m_characters = 0;
};

// Per token index: the text a placeholder, a separator or a date field shows.
using SlotTexts = std::vector<std::string>;

// General for a value >= 0: eleven characters, integers below 10^15 whole.
std::string generalUnsigned(double value);

// Digits spread over placeholders right to left; the leftmost takes any surplus and
// placeholders without a digit show their padding ("0" zero, "?" space, "#" nothing).
std::vector<std::string> fillRightAligned(const std::string& digits,
                                          const std::vector<std::size_t>& slots,
                                          const std::vector<Token>& tokens);

// The tokens in order: literals as written, the rest from slots, "@" as text.
void assemble(const Section& section, const SlotTexts& slots, std::string_view text,
              DisplayText& out);

std::string renderNumber(const Section& section, double value);
std::string renderFraction(const Section& section, double value);
std::string renderGeneralSection(const Section& section, double value);
std::string renderDate(const Section& section, double value, bool date1904);

}  // namespace velquor::sheet::format
