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

namespace {

// The sheet's cells as they are walked, as places in one text; the views are made once the
// text has stopped growing.
class TableBuilder {
public:
    explicit TableBuilder(DeviceTable& table) : m_table(table) {}

    void add(int row, int column, std::string_view text, bool macIsNumber) {
        if (m_rows.empty() || m_rows.back().sheetRow != row) {
            m_rows.push_back(RowPlace{row, m_cells.size(), 0, false});
        }
        RowPlace& place = m_rows.back();
        if (column == 1) place.macIsNumber = macIsNumber;
        // The cells between the last one and this show nothing.
        while (place.count + 1 < static_cast<std::size_t>(column)) {
            m_cells.push_back(CellPlace{m_text.size(), 0});
            ++place.count;
        }
        m_cells.push_back(CellPlace{m_text.size(), text.size()});
        ++place.count;
        m_text.append(text);
    }

    void finish() {
        m_table.text = std::make_unique<char[]>(m_text.size() + 1);
        m_text.copy(m_table.text.get(), m_text.size());
        m_table.cellTexts = std::make_unique<std::string_view[]>(m_cells.size() + 1);
        for (std::size_t i = 0; i < m_cells.size(); ++i) {
            m_table.cellTexts[i] =
                std::string_view(m_table.text.get() + m_cells[i].offset, m_cells[i].size);
        }
        m_table.rows.reserve(m_rows.size());
        for (const RowPlace& place : m_rows) {
            m_table.rows.push_back(
                DeviceTable::Row{place.sheetRow,
                                 std::span<const std::string_view>(
                                     m_table.cellTexts.get() + place.first, place.count),
                                 place.macIsNumber});
        }
        if (!m_table.rows.empty() && m_table.rows.front().sheetRow == 1) {
            const auto& cells = m_table.rows.front().cells;
            m_table.header.assign(cells.begin(), cells.end());
        }
    }

private:
    struct CellPlace {
        std::size_t offset;
        std::size_t size;
    };
    struct RowPlace {
        int sheetRow;
        std::size_t first;
        std::size_t count;
        bool macIsNumber;
    };
    DeviceTable& m_table;
    std::string m_text;
    std::vector<CellPlace> m_cells;
    std::vector<RowPlace> m_rows;
};

}  // namespace

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
    TableBuilder builder(table);
    auto walked = reader.forEachCell(
        [&builder, &reader](int row, int column, std::string_view text) -> support::Status {
            builder.add(row, column, text, column == 1 && reader.isNumber(row, column));
            return {};
        },
        stop);
    if (!walked) return walked.error();
    reader.Close();
    builder.finish();
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
