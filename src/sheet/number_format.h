// NumberFormat: a spreadsheet number format code, compiled once, that turns a cell's value
// into the text the spreadsheet application displays for it (en-US conventions).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::sheet {

// The application refuses longer format codes, and shows no longer text in a cell.
inline constexpr std::size_t kMaxFormatCodeCharacters = 255;
inline constexpr std::size_t kMaxDisplayedCharacters = 32767;

// "General" for a number: at most 11 characters, except that an integer of up to 15 digits is
// always written whole (a MAC address stored as a number must not turn into 1.12233E+11).
std::string formatGeneral(double value);

// The code of a built-in format id as the en-US application shows it; empty for an id
// that has no built-in meaning there (such ids display as General).
std::string_view builtinFormatCode(int id);

class NumberFormat {
public:
    NumberFormat();  // General
    // An error for a code the application would refuse (longer than 255 characters).
    static support::Result<NumberFormat> compile(std::string_view code);
    // As compile, with General in place of a refused code.
    static NumberFormat fromCode(std::string_view code);
    static NumberFormat fromBuiltinId(int id);

    std::string formatNumber(double value, bool date1904) const;
    // Text cells: shown as they are unless the format has a text section ("@").
    std::string formatText(std::string_view text) const;
    // General shows every text cell as it is.
    bool isGeneral() const { return m_compiled == nullptr; }

    struct Compiled;

private:
    std::shared_ptr<const Compiled> m_compiled;  // null for General
};

}  // namespace velquor::sheet
