// The MAC column of a device table checked before anything is written: which device rows name
// a file, in which form, and which are refused or replaced by a later row of the same phone.
// The run, the look at the output folder and the check on its own all go by it, so they name
// the same files.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "generator/devices/device_table.h"
#include "mac/file_name.h"
#include "mac/mac_check.h"

namespace velquor::generator {

struct DeviceMacs {
    std::vector<const DeviceTable::Row*> rows;  // the device rows (row 2 on), in sheet order
    mac::CheckResult check;                     // one verdict per entry of rows
    mac::FileNamePattern fileNames;             // the run's file-name pattern

    // "001A2B3C4D5E.xml": the file a usable or replaced row names.
    std::string fileName(std::size_t index) const {
        return fileNames.name(check.cells[index].written);
    }
    int sheetRow(std::size_t index) const { return rows[index]->sheetRow; }
};

// A later row of the same phone wins, in whatever spelling or case: its values and its form
// name the one file.
DeviceMacs checkDeviceMacs(const DeviceTable& table, mac::Form form,
                           const mac::FileNamePattern& fileNames);

// The canonical MAC of each phone a run writes, with the name of its file.
using PhoneFileNames = std::unordered_map<std::string, std::string>;
PhoneFileNames runFileNames(const DeviceMacs& macs);

// The column-A text of a stored row: empty when the row shows nothing there.
std::string_view macCell(const DeviceTable::Row& row);

}  // namespace velquor::generator
