// A report file read back by the peers people use on it: an .xlsx through python3-openpyxl
// (what a spreadsheet program sees: each cell's text and type, bold cells, frozen panes, the
// filter) and a CSV through Python's RFC 4180 reader.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace velquor::testing {

struct WorkbookCell {
    int row = 0;     // 1-based
    int column = 0;  // 1-based
    char type = 0;   // openpyxl's data type: 's' text, 'n' number, 'f' formula, ...
    std::string text;
};

struct WorkbookReadback {
    bool ok = false;
    std::string output;  // what the reader printed, for a failure message
    std::vector<WorkbookCell> cells;
    std::vector<std::pair<int, int>> boldCells;
    std::string frozenAt;  // "A2" when the first row is frozen
    std::string filter;    // "A1:C4"

    // The cell at (row, column), or nullptr when it is empty.
    const WorkbookCell* at(int row, int column) const;
};

WorkbookReadback readWorkbook(const std::filesystem::path& file);

// Every row of a CSV file as Python's csv module reads it; empty with a failed read.
std::vector<std::vector<std::string>> readCsvRows(const std::filesystem::path& file);

}  // namespace velquor::testing
