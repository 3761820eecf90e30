// DeviceTable: the device sheet as read, the displayed texts of the rows that hold something,
// held in memory so the sheet is closed before the template is touched.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace velquor::generator {

struct DeviceTable {
    DeviceTable() = default;
    // The rows' cells point into the table's own text: it moves, and is never copied.
    DeviceTable(DeviceTable&&) noexcept = default;
    DeviceTable& operator=(DeviceTable&&) noexcept = default;
    DeviceTable(const DeviceTable&) = delete;
    DeviceTable& operator=(const DeviceTable&) = delete;

    // The sheet's used range, counted from A1.
    int RowCount = 0;
    int ColumnCount = 0;

    struct Row {
        int sheetRow = 0;
        // The columns up to the last one that shows something, as texts held by the table.
        std::span<const std::string_view> cells;
        bool macIsNumber = false;  // the sheet holds the MAC cell (column A) as a number
    };
    // The rows that hold something, in sheet order; the header (row 1) among them when it does.
    // A sheet is held in proportion to its filled rows, never to its used range.
    std::vector<Row> rows;

    // The header row's cells (row 1), empty when it holds nothing.
    const std::vector<std::string>& headerCells() const { return header; }
    // The rows past the header that hold nothing at all: they are no devices.
    std::size_t emptyDeviceRows() const;

    // What the rows' cells point into: every cell's text, and the cells of each row side by
    // side (an empty text for a cell that shows nothing), in blocks that never move once
    // allocated, so the table grows as the sheet is read without copying what it holds.
    // A row of strings would cost an allocation per row and per long cell.
    struct Storage {
        struct FreeBlock {
            void operator()(void* block) const;
        };
        std::vector<std::unique_ptr<char[], FreeBlock>> textBlocks;
        std::vector<std::unique_ptr<std::string_view[], FreeBlock>> cellBlocks;
    } storage;
    std::vector<std::string> header;
};

// Reads the sheet and closes it again: a text file row by row as it is read, a workbook
// whole first (its cells may come in any order). A stop request ends the reading with a
// Cancelled error.
support::Result<DeviceTable> readDeviceTable(const std::string& sheetPath,
                                             std::stop_token stop = {});

// Why the MAC as written cannot name a device's file inside the output folder, or empty when
// it can; fileName is the name the run's pattern makes of it (the pattern itself is sound).
std::string unfitAsDeviceFileName(const std::string& mac, const std::string& fileName);

}  // namespace velquor::generator
