// Cell names; see cell_name.h.
#include "sheet/cell_name.h"

namespace velquor::sheet {

std::string columnName(int column) {
    std::string name;
    for (; column > 0; column = (column - 1) / 26) {
        name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
    }
    return name;
}

std::optional<int> columnNumber(std::string_view letters) {
    constexpr int kLastColumn = 16384;  // XFD
    if (letters.empty() || letters.size() > 3) return std::nullopt;
    int column = 0;
    for (char c : letters) {
        const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        if (upper < 'A' || upper > 'Z') return std::nullopt;
        column = column * 26 + (upper - 'A' + 1);
    }
    if (column > kLastColumn) return std::nullopt;
    return column;
}

std::string cellName(int row, int column) {
    return columnName(column) + std::to_string(row);
}

}  // namespace velquor::sheet
