// SheetReader: the displayed text of every cell of a workbook's active sheet
// (.xlsx/.xlsm/.csv/.txt).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "support/result.h"

namespace velquor::sheet {

struct SheetDimensions {
    int RowCount = 0;
    int ColumnCount = 0;
};

// Reads the active sheet of an .xlsx/.xlsm workbook or a .csv/.txt file. Open parses the whole
// sheet into memory (bounded) and closes the file; CellText only formats.
class SheetReader {
public:
    SheetReader();
    ~SheetReader();
    SheetReader(SheetReader&&) noexcept;
    SheetReader& operator=(SheetReader&&) noexcept;

    // On failure: a clear error naming the file and the reason; the reader stays closed.
    support::Result<SheetDimensions> Open(const std::string& path);
    int RowCount() const;     // last used row (A1 is row 1); 0 for an empty sheet
    int ColumnCount() const;  // last used column
    // Displayed text, 1-based from A1; empty for an empty cell or outside the used range.
    std::string CellText(int row, int column) const;
    void Close();
    bool isOpen() const;
    // Lines worth telling the user after a successful Open (each names the file); the cells
    // they concern still read.
    const std::vector<std::string>& warnings() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace velquor::sheet
