// How a spreadsheet user names a cell: column A, B, ... Z, AA, then the row (B12).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::sheet {

// 1 is "A", 26 "Z", 27 "AA".
std::string columnName(int column);
// "A" is 1, "aa" 27: letters only, up to the last column a sheet has (XFD); nothing otherwise.
std::optional<int> columnNumber(std::string_view letters);
// Row and column 1-based: (12, 2) is "B12".
std::string cellName(int row, int column);

}  // namespace velquor::sheet
