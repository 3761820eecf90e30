// NumberFormat: a spreadsheet number format code, compiled once, that turns a cell's value
// into the text the spreadsheet application displays for it (en-US conventions).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace velquor::sheet {

// "General" for a number: at most 11 characters, except that an integer of up to 15 digits is
// always written whole (a MAC address stored as a number must not turn into 1.12233E+11).
std::string formatGeneral(double value);

// The code of a built-in format id as the en-US application shows it; empty for an id
// that has no built-in meaning there (such ids display as General).
std::string_view builtinFormatCode(int id);

class NumberFormat {
public:
    NumberFormat();  // General
    static NumberFormat fromCode(std::string_view code);
    static NumberFormat fromBuiltinId(int id);

    std::string formatNumber(double value, bool date1904) const;
    // Text cells: shown as they are unless the format has a text section ("@").
    std::string formatText(std::string_view text) const;

    struct Compiled;

private:
    std::shared_ptr<const Compiled> m_compiled;  // null for General
};

}  // namespace velquor::sheet
