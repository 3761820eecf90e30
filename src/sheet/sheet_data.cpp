// SheetData: compact cell storage, the used range and the displayed text of a cell.
#include "sheet/sheet_data.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>

#include "support/file_identity.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;

support::Result<std::uint32_t> StringPool::add(std::string_view text) {
    if (m_chars.size() + text.size() > std::numeric_limits<std::uint32_t>::max() ||
        m_ends.size() >= std::numeric_limits<std::uint32_t>::max()) {
        return makeError(ErrorCode::TooLarge,
                         support::Phrase{VELQUOR_TR_NOOP(
                             "core", "it holds more text than a sheet may hold (4 GiB)")});
    }
    m_chars.append(text);
    m_ends.push_back(static_cast<std::uint32_t>(m_chars.size()));
    return static_cast<std::uint32_t>(m_ends.size() - 1);
}

std::string_view StringPool::at(std::uint32_t index) const {
    if (index >= m_ends.size()) return {};
    const std::uint32_t begin = index == 0 ? 0 : m_ends[index - 1];
    return std::string_view(m_chars).substr(begin, m_ends[index] - begin);
}

void StringPool::reserve(std::size_t bytes, std::size_t texts) {
    m_chars.reserve(bytes);
    support::adviseHugePages(m_chars.data(), m_chars.capacity());
    m_ends.reserve(std::min(texts, kMaxCells));
    support::adviseHugePages(m_ends.data(), m_ends.capacity() * sizeof(std::uint32_t));
}

void StringPool::reserveFor(std::uint64_t xmlBytes) {
    // The shortest item, <si/>, takes five bytes.
    reserve(static_cast<std::size_t>(xmlBytes), static_cast<std::size_t>(xmlBytes / 5));
}

void StringPool::clear() {
    m_chars.clear();
    m_ends.clear();
}

void CellBlocks::BlockFree::operator()(StoredCell* block) const {
    std::free(block);
}

void CellBlocks::push_back(const StoredCell& cell) {
    if ((m_size >> kShift) == m_blocks.size()) {
        constexpr std::size_t kBytes = (kMask + 1) * sizeof(StoredCell);
        void* memory = std::aligned_alloc(kBytes, kBytes);
        if (memory == nullptr) throw std::bad_alloc();
        // A small sheet touches only the first pages of its first block; larger ones fill
        // whole blocks, where huge pages pay.
        if (!m_blocks.empty()) support::adviseHugePages(memory, kBytes);
        m_blocks.emplace_back(static_cast<StoredCell*>(memory));
    }
    (*this)[m_size++] = cell;
}

void CellBlocks::resize(std::size_t size) {
    if (size >= m_size) return;
    m_size = size;
    m_blocks.resize((size + kMask) >> kShift);
}

SheetData::SheetData() : styleFormats{NumberFormat()} {}

support::Status SheetData::add(StoredCell cell) {
    if (m_rowVisitor) return addToRow(cell.row(), cell.column, textOf(cell));
    if (m_cells.size() >= kMaxCells) {
        return makeError(
            ErrorCode::TooLarge,
            support::Phrase{VELQUOR_TR_NOOP("core", "the sheet holds more than %1 cells"),
                            {std::to_string(kMaxCells)}});
    }
    if (!m_cells.empty() && m_cells.back().key() >= cell.key()) m_sorted = false;
    m_cells.push_back(cell);
    return {};
}

namespace {
StoredCell makeCell(int row, int column, CellKind kind, std::uint16_t style) {
    StoredCell cell{};
    cell.rowAndKind = (static_cast<std::uint32_t>(row) << 3) | static_cast<std::uint32_t>(kind);
    cell.column = static_cast<std::uint16_t>(column);
    cell.style = style;
    return cell;
}
}  // namespace

support::Status SheetData::addNumber(int row, int column, double value, std::uint16_t style) {
    StoredCell cell = makeCell(row, column, CellKind::Number, style);
    cell.number = value;
    return add(cell);
}

support::Status SheetData::addText(int row, int column, std::string_view text,
                                   std::uint16_t style) {
    return addStoredText(row, column, text, CellKind::Text, style);
}

support::Status SheetData::addSharedText(int row, int column, std::uint32_t index,
                                         std::uint16_t style) {
    return addIndexedText(row, column, index, CellKind::Text, style);
}

support::Status SheetData::addStoredText(int row, int column, std::string_view text, CellKind kind,
                                         std::uint16_t style) {
    if (m_rowVisitor) {
        return addToRow(
            row, column,
            kind == CellKind::Text ? formatOf(style).formatText(text) : std::string(text));
    }
    auto index = strings.add(text);
    if (!index) return index.error();
    return addIndexedText(row, column, *index, kind, style);
}

support::Status SheetData::addIndexedText(int row, int column, std::uint32_t index, CellKind kind,
                                          std::uint16_t style) {
    StoredCell cell = makeCell(row, column, kind, style);
    cell.textIndex = index;
    return add(cell);
}

support::Status SheetData::addBoolean(int row, int column, bool value, std::uint16_t style) {
    StoredCell cell = makeCell(row, column, CellKind::Boolean, style);
    cell.boolean = value;
    return add(cell);
}

support::Status SheetData::addError(int row, int column, std::string_view text,
                                    std::uint16_t style) {
    return addStoredText(row, column, text, CellKind::Error, style);
}

void SheetData::finish() {
    if (!m_sorted) {
        // Cells out of order are rare (the application writes them in order), so this path
        // may take a second copy. Stable, so that of two cells at one address the later wins.
        std::vector<StoredCell> cells(m_cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = m_cells[i];
        std::stable_sort(cells.begin(), cells.end(), [](const StoredCell& a, const StoredCell& b) {
            return a.key() < b.key();
        });
        std::size_t kept = 0;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (kept > 0 && m_cells[kept - 1].key() == cells[i].key()) {
                m_cells[kept - 1] = cells[i];
            } else {
                m_cells[kept++] = cells[i];
            }
        }
        m_cells.resize(kept);
        m_sorted = true;
    }
    m_rowCount = m_cells.empty() ? 0 : m_cells.back().row();
    m_columnCount = 0;
    for (std::size_t i = 0; i < m_cells.size(); ++i) {
        m_columnCount = std::max<int>(m_columnCount, m_cells[i].column);
    }
}

const StoredCell* SheetData::find(int row, int column) const {
    if (row < 1 || row > m_rowCount || column < 1 || column > m_columnCount) return nullptr;
    const std::uint64_t key = (std::uint64_t(row) << 16) | std::uint64_t(column);
    const std::size_t hint = m_lookupHint.load(std::memory_order_relaxed);
    for (std::size_t at = hint; at < std::min(hint + 2, m_cells.size()); ++at) {
        if (m_cells[at].key() == key) {
            m_lookupHint.store(at + 1, std::memory_order_relaxed);
            return &m_cells[at];
        }
    }
    std::size_t low = 0;
    std::size_t high = m_cells.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (m_cells[middle].key() < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    m_lookupHint.store(low, std::memory_order_relaxed);
    if (low == m_cells.size() || m_cells[low].key() != key) return nullptr;
    return &m_cells[low];
}

bool SheetData::isNumber(int row, int column) const {
    const StoredCell* cell = find(row, column);
    return cell != nullptr && cell->kind() == CellKind::Number;
}

std::string SheetData::cellText(int row, int column) const {
    const StoredCell* cell = find(row, column);
    return cell == nullptr ? std::string() : textOf(*cell);
}

void SheetData::streamRows(RowVisitor visit) {
    m_rowVisitor = std::move(visit);
}

support::Status SheetData::addToRow(int row, int column, std::string text) {
    if (row < m_streamedRow) {
        //: %1 and %2 are row numbers
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "row %1 comes after row %2: the rows "
                                                         "are out of order"),
                                         {std::to_string(row), std::to_string(m_streamedRow)}});
    }
    if (row > m_streamedRow) {
        if (auto ended = endRows(); !ended) return ended;
        m_streamedRow = row;
    }
    if (text.empty()) return {};
    const auto at = static_cast<std::size_t>(column);
    if (m_rowCells.size() < at) m_rowCells.resize(at);
    m_rowCells[at - 1] = std::move(text);  // a later cell at the same place replaces it
    return {};
}

support::Status SheetData::endRows() {
    while (!m_rowCells.empty() && m_rowCells.back().empty()) m_rowCells.pop_back();
    if (m_rowCells.empty()) return {};
    auto visited = m_rowVisitor(m_streamedRow, m_rowCells);
    m_rowCells.clear();
    return visited;
}

const NumberFormat& SheetData::formatOf(std::uint16_t style) const {
    return style < styleFormats.size() ? styleFormats[style] : styleFormats.front();
}

std::string_view SheetData::textViewAt(std::size_t index, std::string& scratch) const {
    const StoredCell& cell = m_cells[index];
    if (cell.kind() == CellKind::Text &&
        (cell.style >= styleFormats.size() || styleFormats[cell.style].isGeneral())) {
        return strings.at(cell.textIndex);
    }
    scratch = textOf(cell);
    return scratch;
}

std::string SheetData::textOf(const StoredCell& cell) const {
    const NumberFormat& format = formatOf(cell.style);
    switch (cell.kind()) {
        case CellKind::Number:
            return format.formatNumber(cell.number, date1904);
        case CellKind::Text:
            return format.formatText(strings.at(cell.textIndex));
        case CellKind::Boolean:
            return cell.boolean ? "TRUE" : "FALSE";
        case CellKind::Error:
            return std::string(strings.at(cell.textIndex));
    }
    return {};
}

}  // namespace velquor::sheet
