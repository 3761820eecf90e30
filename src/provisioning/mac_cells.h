// The MAC addresses a device batch sends, as cells: read from a MAC file, typed in, or the rows
// of an earlier batch sent again. Each keeps the row and column it is reported under.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velquor::provisioning {

struct MacCell {
    int row;
    int column;
    std::string text;
    bool number = false;  // the sheet holds the cell as a number, not as text
};

struct MacFile {
    std::vector<MacCell> cells;  // the non-empty cells, row by row
    std::size_t emptyCells = 0;
    // A first cell in row 1 that is text rather than a MAC address is the file's header and is
    // skipped. Typed MAC addresses and the rows of a retry have no header: such a cell is
    // refused as not a MAC address.
    bool firstRowMayBeHeader = true;
};

}  // namespace velquor::provisioning
