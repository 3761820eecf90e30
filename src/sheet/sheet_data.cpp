// SheetData: compact cell storage, the used range and the displayed text of a cell.
#include "sheet/sheet_data.h"

#include <algorithm>
#include <limits>

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;

support::Result<std::uint32_t> StringPool::add(std::string_view text) {
    if (m_chars.size() + text.size() > std::numeric_limits<std::uint32_t>::max() ||
        m_ends.size() >= std::numeric_limits<std::uint32_t>::max()) {
        return makeError(ErrorCode::TooLarge, "it holds more text than a sheet may hold (4 GiB)");
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

void StringPool::clear() {
    m_chars.clear();
    m_ends.clear();
}

SheetData::SheetData() : styleFormats{NumberFormat()} {}

support::Status SheetData::add(StoredCell cell) {
    if (m_cells.size() >= kMaxCells) {
        return makeError(ErrorCode::TooLarge,
                         "the sheet holds more than " + std::to_string(kMaxCells) + " cells");
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
    auto index = strings.add(text);
    if (!index) return index.error();
    return addSharedText(row, column, *index, style);
}

support::Status SheetData::addSharedText(int row, int column, std::uint32_t index,
                                         std::uint16_t style) {
    StoredCell cell = makeCell(row, column, CellKind::Text, style);
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
    auto index = strings.add(text);
    if (!index) return index.error();
    StoredCell cell = makeCell(row, column, CellKind::Error, style);
    cell.textIndex = *index;
    return add(cell);
}

void SheetData::finish() {
    if (!m_sorted) {
        // Stable, so that of two cells at one address the later one in the file wins.
        std::stable_sort(m_cells.begin(), m_cells.end(),
                         [](const StoredCell& a, const StoredCell& b) { return a.key() < b.key(); });
        auto last = m_cells.begin();
        for (auto it = m_cells.begin(); it != m_cells.end(); ++it) {
            if (last != it && last->key() == it->key()) {
                *last = *it;
            } else if (last != it) {
                *++last = *it;
            }
        }
        if (!m_cells.empty()) m_cells.erase(last + 1, m_cells.end());
        m_sorted = true;
    }
    m_rowCount = m_cells.empty() ? 0 : m_cells.back().row();
    m_columnCount = 0;
    for (const StoredCell& cell : m_cells) {
        m_columnCount = std::max<int>(m_columnCount, cell.column);
    }
}

const StoredCell* SheetData::find(int row, int column) const {
    if (row < 1 || row > m_rowCount || column < 1 || column > m_columnCount) return nullptr;
    const std::uint64_t key = (std::uint64_t(row) << 16) | std::uint64_t(column);
    auto it = std::lower_bound(m_cells.begin(), m_cells.end(), key,
                               [](const StoredCell& cell, std::uint64_t k) { return cell.key() < k; });
    if (it == m_cells.end() || it->key() != key) return nullptr;
    return &*it;
}

std::string SheetData::cellText(int row, int column) const {
    const StoredCell* cell = find(row, column);
    if (cell == nullptr) return {};
    const NumberFormat& format =
        cell->style < styleFormats.size() ? styleFormats[cell->style] : styleFormats.front();
    switch (cell->kind()) {
        case CellKind::Number:
            return format.formatNumber(cell->number, date1904);
        case CellKind::Text:
            return format.formatText(strings.at(cell->textIndex));
        case CellKind::Boolean:
            return cell->boolean ? "TRUE" : "FALSE";
        case CellKind::Error:
            return std::string(strings.at(cell->textIndex));
    }
    return {};
}

}  // namespace velquor::sheet
