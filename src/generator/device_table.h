// DeviceTable: the device sheet as read, every cell's displayed text, held in memory so the
// sheet is closed before the template is touched.
#pragma once

#include <string>
#include <vector>

#include "generator/config_template.h"
#include "support/result.h"

namespace velquor::generator {

struct DeviceTable {
    int RowCount = 0;
    int ColumnCount = 0;
    // RowCount rows of ColumnCount texts each; rows[0] is the header (sheet row 1).
    std::vector<std::vector<std::string>> rows;

    // Sheet row number r (1-based) as a device row.
    DeviceRow deviceRow(int sheetRow) const;
};

// Reads every cell of the sheet's used block from A1 and closes the sheet again.
support::Result<DeviceTable> ReadDeviceTable(const std::string& sheetPath);

// Why text cannot name a device's file inside the output folder, or empty when it can.
std::string unfitAsDeviceFileName(const std::string& mac);

}  // namespace velquor::generator
