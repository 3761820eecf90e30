// Reading the filled rows of the device sheet and checking MAC texts as file names; see
// device_table.h.
#include "generator/devices/device_table.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "sheet/sheet_reader.h"

namespace velquor::generator {

std::size_t DeviceTable::emptyDeviceRows() const {
    std::size_t filled = 0;
    for (const Row& row : rows) filled += row.sheetRow >= 2 ? 1 : 0;
    const std::size_t deviceRows = RowCount > 1 ? static_cast<std::size_t>(RowCount - 1) : 0;
    return deviceRows - filled;
}

const std::vector<std::string>& DeviceTable::headerCells() const {
    static const std::vector<std::string> kNone;
    return !rows.empty() && rows.front().sheetRow == 1 ? rows.front().cells : kNone;
}

DeviceRow DeviceTable::deviceRow(const Row& row) const {
    // Padded to the sheet's width so that a template needing a column the sheet lacks is told
    // so, while a column the sheet has but this row leaves empty reads as empty text.
    DeviceRow device{row.sheetRow, row.cells};
    device.cells.resize(static_cast<std::size_t>(ColumnCount));
    return device;
}

support::Result<DeviceTable> readDeviceTable(const std::string& sheetPath, std::stop_token stop) {
    if (sheetPath.empty()) {
        return support::makeError(
            support::ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "no device sheet chosen")});
    }
    sheet::SheetReader reader;
    auto dimensions = reader.Open(sheetPath, stop);
    if (!dimensions) return dimensions.error();
    DeviceTable table;
    table.RowCount = dimensions->RowCount;
    table.ColumnCount = dimensions->ColumnCount;
    auto walked = reader.forEachCell(
        [&table, &reader](int row, int column, std::string_view text) -> support::Status {
            if (table.rows.empty() || table.rows.back().sheetRow != row) {
                // Rows mostly fill as many columns as the one before.
                const std::size_t width = table.rows.empty() ? 0 : table.rows.back().cells.size();
                table.rows.push_back(DeviceTable::Row{row, {}});
                table.rows.back().cells.reserve(width);
            }
            if (column == 1) table.rows.back().macIsNumber = reader.isNumber(row, column);
            std::vector<std::string>& cells = table.rows.back().cells;
            cells.resize(static_cast<std::size_t>(column));
            cells.back() = text;
            return {};
        },
        stop);
    if (!walked) return walked.error();
    reader.Close();
    return table;
}

std::string unfitAsDeviceFileName(const std::string& mac, const std::string& fileName) {
    if (mac.empty()) return VELQUOR_TR_NOOP("core", "the MAC cell (column A) is empty");
    if (fileName.size() > NAME_MAX) {
        return VELQUOR_TR_NOOP("core", "the MAC text is too long to name a file");
    }
    if (mac.find('/') != std::string::npos || mac.find('\\') != std::string::npos) {
        return VELQUOR_TR_NOOP("core", "the MAC text holds a path separator");
    }
    if (fileName.find("..") != std::string::npos) {
        return VELQUOR_TR_NOOP("core", "the MAC text holds \"..\"");
    }
    if (fileName.front() == '.') {
        return VELQUOR_TR_NOOP("core", "the MAC text starts with a dot, which would hide the file");
    }
    for (unsigned char c : mac) {
        if (c < 0x20 || c == 0x7F) {
            return VELQUOR_TR_NOOP("core", "the MAC text holds a control character");
        }
    }
    return {};
}

}  // namespace velquor::generator
