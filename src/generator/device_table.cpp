// Reading the device sheet and checking MAC texts as file names; see device_table.h.
#include "generator/device_table.h"

#include <climits>

#include "sheet/sheet_reader.h"

namespace velquor::generator {

DeviceRow DeviceTable::deviceRow(int sheetRow) const {
    return DeviceRow{sheetRow, rows.at(static_cast<std::size_t>(sheetRow - 1))};
}

support::Result<DeviceTable> ReadDeviceTable(const std::string& sheetPath) {
    if (sheetPath.empty()) {
        return support::makeError(support::ErrorCode::InvalidInput, "no device sheet chosen");
    }
    sheet::SheetReader reader;
    auto dimensions = reader.Open(sheetPath);
    if (!dimensions) return dimensions.error();
    DeviceTable table;
    table.RowCount = dimensions->RowCount;
    table.ColumnCount = dimensions->ColumnCount;
    table.rows.reserve(static_cast<std::size_t>(table.RowCount));
    for (int r = 1; r <= table.RowCount; ++r) {
        std::vector<std::string>& row = table.rows.emplace_back();
        row.reserve(static_cast<std::size_t>(table.ColumnCount));
        for (int c = 1; c <= table.ColumnCount; ++c) row.push_back(reader.CellText(r, c));
    }
    reader.Close();
    return table;
}

std::string unfitAsDeviceFileName(const std::string& mac) {
    if (mac.empty()) return "the MAC cell (column A) is empty";
    // ".xml" is added to the MAC; the whole name must fit the file system's limit.
    if (mac.size() > NAME_MAX - 4) return "the MAC text is too long to name a file";
    if (mac.find('/') != std::string::npos || mac.find('\\') != std::string::npos) {
        return "the MAC text holds a path separator";
    }
    if (mac.find("..") != std::string::npos) return "the MAC text holds \"..\"";
    if (mac.front() == '.') return "the MAC text starts with a dot, which would hide the file";
    for (unsigned char c : mac) {
        if (c < 0x20 || c == 0x7F) return "the MAC text holds a control character";
    }
    return {};
}

}  // namespace velquor::generator
