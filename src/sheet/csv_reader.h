// Reading delimited text (.csv/.txt) into SheetData: UTF-8 (or UTF-16 with a byte-order
// mark), quoted fields, and the separator detected among comma, semicolon and tab.
#pragma once

#include <string>
#include <string_view>

#include "sheet/sheet_data.h"
#include "support/result.h"

namespace velquor::sheet {

// Picks the separator that splits the first lines most consistently (quotes respected).
char detectSeparator(std::string_view text);

// Fills data with every non-empty field. Errors say what is wrong and where, without the path.
support::Status readDelimitedText(std::string_view bytes, SheetData& data);

}  // namespace velquor::sheet
