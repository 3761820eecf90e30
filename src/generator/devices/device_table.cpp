// Reading the filled rows of the device sheet and checking MAC texts as file names; see
// device_table.h.
#include "generator/devices/device_table.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string_view>
#include <thread>

#include "sheet/sheet_reader.h"
#include "support/file_identity.h"

namespace velquor::generator {

std::size_t DeviceTable::emptyDeviceRows() const {
    std::size_t filled = 0;
    for (const Row& row : rows) filled += row.sheetRow >= 2 ? 1 : 0;
    const std::size_t deviceRows = RowCount > 1 ? static_cast<std::size_t>(RowCount - 1) : 0;
    return deviceRows - filled;
}

void DeviceTable::Storage::FreeBlock::operator()(void* block) const {
    std::free(block);
}

namespace {

// The table's blocks: 2 MiB each, the size of a huge page, which spares a page fault per
// 4 KiB of a large sheet; a longer cell or row gets a block of its own size.
constexpr std::size_t kBlockBytes = std::size_t{2} << 20;

template <typename T>
std::unique_ptr<T[], DeviceTable::Storage::FreeBlock> allocateBlock(std::size_t count, bool large) {
    const std::size_t bytes = (count * sizeof(T) + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
    void* memory = std::aligned_alloc(kBlockBytes, bytes);
    if (memory == nullptr) throw std::bad_alloc();
    // A small sheet touches only the first pages of its first block; larger ones fill whole
    // blocks, where huge pages pay.
    if (large) support::adviseHugePages(memory, bytes);
    return std::unique_ptr<T[], DeviceTable::Storage::FreeBlock>(static_cast<T*>(memory));
}

// Appends rows to a table as the sheet gives them, each row's cells side by side in a cell
// block and their texts in a text block.
class TableBuilder {
public:
    explicit TableBuilder(DeviceTable& table) : m_table(table) {}

    // cells[0] is column A; an empty text is a cell that shows nothing.
    void addRow(int sheetRow, std::span<const std::string> cells, bool macIsNumber) {
        std::string_view* placed = claimCells(cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i) placed[i] = keepText(cells[i]);
        m_table.rows.push_back(DeviceTable::Row{
            sheetRow, std::span<const std::string_view>(placed, cells.size()), macIsNumber});
        m_table.RowCount = std::max(m_table.RowCount, sheetRow);
        m_table.ColumnCount = std::max(m_table.ColumnCount, static_cast<int>(cells.size()));
    }

private:
    std::string_view* claimCells(std::size_t count) {
        if (m_cellsLeft < count) {
            auto& blocks = m_table.storage.cellBlocks;
            const std::size_t room = std::max(kBlockBytes / sizeof(std::string_view), count);
            blocks.push_back(allocateBlock<std::string_view>(room, !blocks.empty()));
            m_nextCell = blocks.back().get();
            m_cellsLeft = room;
        }
        std::string_view* claimed = m_nextCell;
        m_nextCell += count;
        m_cellsLeft -= count;
        return claimed;
    }

    std::string_view keepText(const std::string& text) {
        if (text.empty()) return {};
        if (m_textLeft < text.size()) {
            auto& blocks = m_table.storage.textBlocks;
            const std::size_t room = std::max(kBlockBytes, text.size());
            blocks.push_back(allocateBlock<char>(room, !blocks.empty()));
            m_nextText = blocks.back().get();
            m_textLeft = room;
        }
        char* at = m_nextText;
        text.copy(at, text.size());
        m_nextText += text.size();
        m_textLeft -= text.size();
        return std::string_view(at, text.size());
    }

    DeviceTable& m_table;
    std::string_view* m_nextCell = nullptr;
    std::size_t m_cellsLeft = 0;
    char* m_nextText = nullptr;
    std::size_t m_textLeft = 0;
};

// Past this size a text sheet is read in parts side by side, one a core (at most four): the
// cost of a thread is then well spent.
constexpr std::uintmax_t kBytesWorthParts = std::uintmax_t{4} << 20;

std::size_t partsFor(const std::string& sheetPath) {
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(sheetPath, error);
    if (error || bytes < kBytesWorthParts) return 1;
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
}

// The rows of the later parts after those of the first: their blocks move over whole, and
// the rows' cells still point into them.
void appendPart(DeviceTable& table, DeviceTable&& part) {
    table.rows.insert(table.rows.end(), part.rows.begin(), part.rows.end());
    for (auto& block : part.storage.textBlocks)
        table.storage.textBlocks.push_back(std::move(block));
    for (auto& block : part.storage.cellBlocks)
        table.storage.cellBlocks.push_back(std::move(block));
    table.RowCount = std::max(table.RowCount, part.RowCount);
    table.ColumnCount = std::max(table.ColumnCount, part.ColumnCount);
}

// A text file: every cell is text and the rows come in order, so nothing of it is held but
// the table; a long one is read in parts side by side, each into a table of its own.
support::Status readTextRows(const std::string& sheetPath, DeviceTable& table,
                             const std::stop_token& stop) {
    std::vector<DeviceTable> parts(partsFor(sheetPath));
    std::vector<TableBuilder> builders(parts.begin(), parts.end());
    const auto read = sheet::forEachRowInParts(
        sheetPath, parts.size(),
        [&builders](std::size_t part) -> sheet::RowVisitor {
            return [&builder = builders[part]](int row,
                                               std::vector<std::string>& cells) -> support::Status {
                builder.addRow(row, cells, false);
                return {};
            };
        },
        stop);
    if (!read) return read;
    table = std::move(parts.front());
    for (std::size_t k = 1; k < parts.size(); ++k) appendPart(table, std::move(parts[k]));
    return {};
}

// A workbook, whose cells may come in any order: read whole, then walked row by row.
support::Status readWorkbookRows(const std::string& sheetPath, DeviceTable& table,
                                 const std::stop_token& stop) {
    TableBuilder builder(table);
    sheet::SheetReader reader;
    auto dimensions = reader.Open(sheetPath, stop);
    if (!dimensions) return dimensions.error();
    std::vector<std::string> cells;
    int row = 0;
    const auto endRow = [&] {
        if (!cells.empty()) builder.addRow(row, cells, reader.isNumber(row, 1));
        cells.clear();
    };
    auto walked = reader.forEachCell(
        [&](int cellRow, int column, std::string_view text) -> support::Status {
            if (cellRow != row) {
                endRow();
                row = cellRow;
            }
            const auto at = static_cast<std::size_t>(column);
            if (cells.size() < at) cells.resize(at);
            cells[at - 1] = text;
            return {};
        },
        stop);
    if (!walked) return walked;
    endRow();
    // The used range counts cells that show nothing too.
    table.RowCount = dimensions->RowCount;
    table.ColumnCount = dimensions->ColumnCount;
    return {};
}

}  // namespace

support::Result<DeviceTable> readDeviceTable(const std::string& sheetPath, std::stop_token stop) {
    if (sheetPath.empty()) {
        return support::makeError(
            support::ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "no device sheet chosen")});
    }
    DeviceTable table;
    const support::Status read = sheet::isDelimitedText(sheetPath)
                                     ? readTextRows(sheetPath, table, stop)
                                     : readWorkbookRows(sheetPath, table, stop);
    if (!read) return read.error();
    if (!table.rows.empty() && table.rows.front().sheetRow == 1) {
        const auto& cells = table.rows.front().cells;
        table.header.assign(cells.begin(), cells.end());
    }
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
