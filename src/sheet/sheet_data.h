// SheetData: the cells of one sheet as read from a file, stored compactly, plus the pieces
// needed to turn a cell into its displayed text (strings, number formats, date system).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "sheet/number_format.h"
#include "sheet/sheet_reader.h"
#include "support/result.h"

namespace velquor::sheet {

inline constexpr int kMaxRows = 1048576;
inline constexpr int kMaxColumns = 16384;  // column XFD
// The most characters a spreadsheet application lets a cell hold. A text file may claim more;
// a cell past it is no sheet a person made, and copying it around costs memory without bound.
inline constexpr std::size_t kMaxCellCharacters = 32767;
// A bound on what one sheet may hold in memory (16 bytes a cell): about half a gigabyte.
inline constexpr std::size_t kMaxCells = std::size_t{32} * 1024 * 1024;

// How often the long loops over cells look at the stop request: rare enough to cost nothing
// measurable, often enough that a stop is honoured well within a second.
inline constexpr std::size_t kCellsBetweenStopChecks = 4096;

inline support::Error readingCancelled() {
    return support::makeError(
        support::ErrorCode::Cancelled,
        support::Phrase{VELQUOR_TR_NOOP("core", "the reading was cancelled")});
}

// A part the workbook needs and its zip container lacks.
inline support::Error partMissing(const std::string& name) {
    //: %1 is a part (a file inside the workbook's zip container)
    return support::makeError(
        support::ErrorCode::InvalidInput,
        support::Phrase{VELQUOR_TR_NOOP("core", "the part %1 is missing"), {name}});
}

enum class CellKind : std::uint8_t { Number, Text, Boolean, Error };

// Many short texts in one buffer: far fewer allocations than a vector of strings.
class StringPool {
public:
    // Returns the new text's index, or an error once the pool would pass its bound.
    support::Result<std::uint32_t> add(std::string_view text);
    std::string_view at(std::uint32_t index) const;
    std::size_t size() const { return m_ends.size(); }
    // Room for about this many texts of this many bytes in all, so that adding them does not
    // move what is stored (room is only claimed from the system as it is used).
    void reserve(std::size_t bytes, std::size_t texts);
    void clear();
    // Room for texts that take at most this many bytes of XML: reserved, not touched, so a
    // large table never holds its old copy beside the new one while it grows.
    void reserveFor(std::uint64_t xmlBytes);

private:
    std::string m_chars;
    std::vector<std::uint32_t> m_ends;
};

struct StoredCell {
    union {
        double number;
        std::uint32_t textIndex;  // into SheetData::strings, for Text and Error cells
        bool boolean;
    };
    std::uint32_t rowAndKind;  // row << 3 | kind
    std::uint16_t column;
    std::uint16_t style;  // index into SheetData::styleFormats

    int row() const { return static_cast<int>(rowAndKind >> 3); }
    CellKind kind() const { return static_cast<CellKind>(rowAndKind & 7u); }
    std::uint64_t key() const { return (std::uint64_t{rowAndKind >> 3} << 16) | column; }
};
static_assert(sizeof(StoredCell) == 16);

// Cells in fixed-size blocks: growing never copies what is stored or touches it again,
// which a single vector of a million cells would do at every doubling.
class CellBlocks {
public:
    void push_back(const StoredCell& cell);
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const StoredCell& operator[](std::size_t i) const { return m_blocks[i >> kShift][i & kMask]; }
    StoredCell& operator[](std::size_t i) { return m_blocks[i >> kShift][i & kMask]; }
    const StoredCell& back() const { return (*this)[m_size - 1]; }
    void resize(std::size_t size);  // shrinks only

private:
    // 2 MiB blocks: past the first, each is one huge page where the system offers them,
    // which spares a page fault per 4 KiB of cells.
    static constexpr std::size_t kShift = 17;
    static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;
    struct BlockFree {
        void operator()(StoredCell* block) const;
    };
    std::vector<std::unique_ptr<StoredCell[], BlockFree>> m_blocks;
    std::size_t m_size = 0;
};

class SheetData {
public:
    SheetData();

    // Each add checks the cell count bound; row and column must already be in range.
    support::Status addNumber(int row, int column, double value, std::uint16_t style);
    support::Status addText(int row, int column, std::string_view text, std::uint16_t style);
    support::Status addSharedText(int row, int column, std::uint32_t index, std::uint16_t style);
    support::Status addBoolean(int row, int column, bool value, std::uint16_t style);
    support::Status addError(int row, int column, std::string_view text, std::uint16_t style);

    // Sorts the cells (a later duplicate replaces an earlier one) and measures the used range.
    void finish();

    // From now on no cell is kept: each row's displayed texts go to visit once a later row
    // begins (the last one at endRows), so a sheet of any length costs one row's memory. The
    // rows must come in order; a row that comes after a later one is an error.
    void streamRows(RowVisitor visit);
    support::Status endRows();

    int rowCount() const { return m_rowCount; }
    int columnCount() const { return m_columnCount; }
    std::size_t cellCount() const { return m_cells.size(); }
    std::string cellText(int row, int column) const;
    bool isNumber(int row, int column) const;
    // The stored cells in row, then column order (after finish): index 0 to cellCount() - 1.
    int rowAt(std::size_t index) const { return m_cells[index].row(); }
    int columnAt(std::size_t index) const { return m_cells[index].column; }
    std::string textAt(std::size_t index) const { return textOf(m_cells[index]); }
    // The same without a copy where the text is shown as stored (a text cell in General, the
    // common case); otherwise it is made in scratch.
    std::string_view textViewAt(std::size_t index, std::string& scratch) const;

    StringPool strings;
    // Style index -> number format; style 0 is always present and General.
    std::vector<NumberFormat> styleFormats;
    bool date1904 = false;
    // What was read in a way the user should know of (a refused number format), one line each.
    std::vector<std::string> warnings;

private:
    support::Status add(StoredCell cell);
    // Text and error cells keep their text in the shared string table.
    support::Status addStoredText(int row, int column, std::string_view text, CellKind kind,
                                  std::uint16_t style);
    support::Status addIndexedText(int row, int column, std::uint32_t index, CellKind kind,
                                   std::uint16_t style);
    const StoredCell* find(int row, int column) const;
    const NumberFormat& formatOf(std::uint16_t style) const;
    std::string textOf(const StoredCell& cell) const;
    support::Status addToRow(int row, int column, std::string text);

    RowVisitor m_rowVisitor;
    int m_streamedRow = 0;                // the row whose cells m_rowCells holds
    std::vector<std::string> m_rowCells;  // its texts by column, A first

    CellBlocks m_cells;
    // Where the last lookup ended: callers mostly read row by row, so the next cell is near.
    mutable std::atomic<std::size_t> m_lookupHint{0};
    bool m_sorted = true;
    int m_rowCount = 0;
    int m_columnCount = 0;
};

}  // namespace velquor::sheet
