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

std::string cellName(int row, int column) {
    return columnName(column) + std::to_string(row);
}

}  // namespace velquor::sheet
