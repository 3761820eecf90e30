// DeviceTable: the device sheet as read, the displayed texts of the rows that hold something,
// held in memory so the sheet is closed before the template is touched.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

#include "generator/template/config_template.h"
#include "support/result.h"

namespace velquor::generator {

struct DeviceTable {
    // The sheet's used range, counted from A1.
    int RowCount = 0;
    int ColumnCount = 0;

    struct Row {
        int sheetRow = 0;
        // The columns up to the last one that shows something.
        std::vector<std::string> cells;
    };
    // The rows that hold something, in sheet order; the header (row 1) among them when it does.
    // A sheet is held in proportion to its filled rows, never to its used range.
    std::vector<Row> rows;

    // The header row's cells (row 1), empty when it holds nothing.
    const std::vector<std::string>& headerCells() const;
    // The rows past the header that hold nothing at all: they are no devices.
    std::size_t emptyDeviceRows() const;
    // A stored row as the template takes it: every column the sheet has.
    DeviceRow deviceRow(const Row& row) const;
};

// Reads the sheet and closes it again. A stop request ends the reading with a Cancelled error.
support::Result<DeviceTable> readDeviceTable(const std::string& sheetPath,
                                             std::stop_token stop = {});

// Why the MAC as written cannot name a device's file inside the output folder, or empty when
// it can; fileName is the name the run's pattern makes of it (the pattern itself is sound).
std::string unfitAsDeviceFileName(const std::string& mac, const std::string& fileName);

}  // namespace velquor::generator
