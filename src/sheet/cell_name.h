// How a spreadsheet user names a cell: column A, B, ... Z, AA, then the row (B12).
#pragma once

#include <string>

namespace velquor::sheet {

// 1 is "A", 26 "Z", 27 "AA".
std::string columnName(int column);
// Row and column 1-based: (12, 2) is "B12".
std::string cellName(int row, int column);

}  // namespace velquor::sheet
