// The MAC column of a device table; see device_macs.h.
#include "generator/devices/device_macs.h"

namespace velquor::generator {

std::string_view macCell(const DeviceTable::Row& row) {
    return row.cells.empty() ? std::string_view() : row.cells.front();
}

PhoneFileNames runFileNames(const DeviceMacs& macs) {
    PhoneFileNames names;
    for (std::size_t i = 0; i < macs.rows.size(); ++i) {
        if (macs.check.cells[i].verdict != mac::Verdict::Usable) continue;
        if (auto canonical = mac::canonicalMac(macCell(*macs.rows[i]))) {
            names[*canonical] = macs.fileName(i);
        }
    }
    return names;
}

DeviceMacs checkDeviceMacs(const DeviceTable& table, mac::Form form,
                           const mac::FileNamePattern& fileNames) {
    DeviceMacs macs;
    macs.fileNames = fileNames;
    std::vector<std::string_view> cells;
    macs.rows.reserve(table.rows.size());
    cells.reserve(table.rows.size());
    for (const DeviceTable::Row& row : table.rows) {
        if (row.sheetRow < 2) continue;  // the header
        macs.rows.push_back(&row);
        cells.push_back(macCell(row));
    }
    macs.check = mac::checkCells(cells, form, mac::RepeatRule::LaterWins);
    return macs;
}

}  // namespace velquor::generator
