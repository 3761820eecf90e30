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

// The sheet's cells in two walks: the first counts the cells (those between two that show
// something included) and their bytes, the second copies them into blocks of exactly that
// size, so nothing grows and nothing is copied twice.
class TableBuilder {
public:
    explicit TableBuilder(DeviceTable& table) : m_table(table) {}

    void count(int row, int column) {
        if (row != m_lastRow) {
            m_lastRow = row;
            m_rowCells = 0;
            ++m_rowCount;
        }
        const auto cells = static_cast<std::size_t>(column);
        if (cells > m_rowCells) {
            m_cellCount += cells - m_rowCells;
            m_rowCells = cells;
        }
    }
    void countText(std::size_t bytes) { m_textBytes += bytes; }

    void allocate() {
        m_table.text = std::make_unique_for_overwrite<char[]>(m_textBytes + 1);
        m_table.cellTexts = std::make_unique_for_overwrite<std::string_view[]>(m_cellCount + 1);
        m_table.rows.reserve(m_rowCount);
    }

    // False when the second walk finds more than the first counted.
    bool add(int row, int column, std::string_view text, bool macIsNumber) {
        std::vector<DeviceTable::Row>& rows = m_table.rows;
        if (rows.empty() || rows.back().sheetRow != row) {
            rows.push_back(DeviceTable::Row{
                row, std::span<const std::string_view>(m_table.cellTexts.get() + m_cellsUsed, 0),
                false});
        }
        DeviceTable::Row& current = rows.back();
        const auto upTo = static_cast<std::size_t>(column);
        const std::size_t have = current.cells.size();
        if (upTo <= have || m_cellsUsed + (upTo - have) > m_cellCount ||
            m_textUsed + text.size() > m_textBytes) {
            return false;
        }
        if (column == 1) current.macIsNumber = macIsNumber;
        // The cells between the last one and this show nothing.
        for (std::size_t gap = have + 1; gap < upTo; ++gap) {
            m_table.cellTexts[m_cellsUsed++] = std::string_view();
        }
        char* at = m_table.text.get() + m_textUsed;
        text.copy(at, text.size());
        m_textUsed += text.size();
        m_table.cellTexts[m_cellsUsed++] = std::string_view(at, text.size());
        current.cells = std::span<const std::string_view>(current.cells.data(), upTo);
        return true;
    }

    void finish() {
        if (!m_table.rows.empty() && m_table.rows.front().sheetRow == 1) {
            const auto& cells = m_table.rows.front().cells;
            m_table.header.assign(cells.begin(), cells.end());
        }
    }

private:
    DeviceTable& m_table;
    int m_lastRow = 0;
    std::size_t m_rowCells = 0;
    std::size_t m_rowCount = 0;
    std::size_t m_cellCount = 0;
    std::size_t m_textBytes = 0;
    std::size_t m_cellsUsed = 0;
    std::size_t m_textUsed = 0;
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
    auto counted = reader.forEachCell(
        [&builder](int row, int column, std::string_view text) -> support::Status {
            builder.count(row, column);
            builder.countText(text.size());
            return {};
        },
        stop);
    if (!counted) return counted.error();
    builder.allocate();
    auto walked = reader.forEachCell(
        [&builder, &reader](int row, int column, std::string_view text) -> support::Status {
            if (builder.add(row, column, text, column == 1 && reader.isNumber(row, column))) {
                return {};
            }
            return support::makeError(support::ErrorCode::Internal,
                                      "the sheet's cells changed between two walks");
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
