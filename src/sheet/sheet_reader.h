// SheetReader: the displayed text of every cell of a workbook's active sheet
// (.xlsx/.xlsm/.csv/.txt).
#pragma once
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace velquor::sheet {

struct SheetDimensions {
    int RowCount = 0;
    int ColumnCount = 0;
};

// Called for each cell that shows something; an error ends the walk and is passed on.
using CellVisitor = std::function<support::Status(int row, int column, std::string_view text)>;
// Called for each row with a cell that shows something: cells[0] is column A's displayed
// text, empty where a cell shows nothing, and the last one shows something. The visitor may
// take the texts; an error ends the walk and is passed on.
using RowVisitor = std::function<support::Status(int row, std::vector<std::string>& cells)>;

// Walks the active sheet of an .xlsx/.xlsm workbook or a .csv/.txt file row by row as it
// reads, without holding it: the way to read a sheet too long to keep, such as a report of a
// million rows. A workbook's shared strings are held; everything else costs one row and one
// piece of the file. The rows must be in order (the file's applications write them so); the
// errors are those of SheetReader::Open. A stop request ends the walk with a Cancelled error.
support::Status forEachRow(const std::string& path, const RowVisitor& visit,
                           std::stop_token stop = {});

// Makes the visitor of one part of a file read side by side (forEachRowInParts).
using PartVisitors = std::function<RowVisitor(std::size_t part)>;

// forEachRow for a text file long enough to be worth reading on several threads: the file is
// read whole and cut at record ends into at most `parts` parts of about equal length, each
// read on a thread of its own, its rows in order to its own visitor (visitorFor(k), called
// before the reading starts), every row of a part after those of the part before. A workbook,
// and a text file too long to hold, is walked by forEachRow with the first part's visitor. The
// errors are forEachRow's; of several, the first part's.
support::Status forEachRowInParts(const std::string& path, std::size_t parts,
                                  const PartVisitors& visitorFor, std::stop_token stop = {});

// Whether path names a text file (.csv, .txt) rather than a workbook: its cells are all text
// and its rows come in order, so forEachRow gives what Open would.
bool isDelimitedText(const std::string& path);

// Reads the active sheet of an .xlsx/.xlsm workbook or a .csv/.txt file. Open parses the whole
// sheet into memory and closes the file; CellText only formats. Only the cells that hold a
// value are kept, so a sheet costs memory in proportion to them, never to its used range:
// a value in A1 and one in XFD1048576 make a range of seventeen billion cells.
class SheetReader {
public:
    SheetReader();
    ~SheetReader();
    SheetReader(SheetReader&&) noexcept;
    SheetReader& operator=(SheetReader&&) noexcept;

    // On failure: a clear error naming the file and the reason; the reader stays closed.
    // A stop request ends the reading with a Cancelled error.
    support::Result<SheetDimensions> Open(const std::string& path, std::stop_token stop = {});
    int RowCount() const;     // last used row (A1 is row 1); 0 for an empty sheet
    int ColumnCount() const;  // last used column
    // Displayed text, 1-based from A1; empty for an empty cell or outside the used range.
    std::string CellText(int row, int column) const;
    // The cell holds a number (shown through its number format), not text: a code typed into
    // a number cell has lost its leading zeros.
    bool isNumber(int row, int column) const;
    // Visits every cell whose displayed text is not empty, row by row and left to right: the
    // way to walk a sheet, since walking RowCount x ColumnCount may mean billions of calls.
    // A stop request ends the walk with a Cancelled error.
    support::Status forEachCell(const CellVisitor& visit, std::stop_token stop = {}) const;
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
