// Reading and checking a MAC file; see mac_file.h.
#include "provisioning/mac_file.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>

#include "mac/mac_check.h"
#include "sheet/cell_name.h"
#include "sheet/sheet_reader.h"
#include "support/translatable.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;

namespace {

support::Error unreadableMacFile(const std::string& path, const support::Error& cause) {
    //: %1 is the file, %2 why it cannot be read
    return makeError(cause.code,
                     support::withCause(support::Phrase{VELQUOR_TR_NOOP("core",
                                                                        "Cannot read the MAC file "
                                                                        "%1: %2"),
                                                        {path}},
                                        cause));
}

}  // namespace

// Only the cells that show something are walked: the empty ones of the rectangle from A1 are
// counted, not visited, since a sparse sheet's rectangle may hold billions of them.
support::Result<MacFile> readMacFile(const std::string& path, const std::stop_token& stop) {
    if (path.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         VELQUOR_TR_NOOP("core", "No MAC file was chosen."));
    }
    sheet::SheetReader reader;
    auto dimensions = reader.Open(path, stop);
    if (!dimensions) return unreadableMacFile(path, dimensions.error());
    MacFile file;
    auto walked = reader.forEachCell(
        [&file, &reader](int row, int column, std::string_view text) -> support::Status {
            file.cells.push_back(
                MacCell{row, column, std::string(text), reader.isNumber(row, column)});
            return {};
        },
        stop);
    if (!walked) return unreadableMacFile(path, walked.error());
    const std::uint64_t rectangle = static_cast<std::uint64_t>(reader.RowCount()) *
                                    static_cast<std::uint64_t>(reader.ColumnCount());
    file.emptyCells = static_cast<std::size_t>(rectangle - file.cells.size());
    reader.Close();
    return file;
}

MacFile sheetColumn(const MacFile& file, int column) {
    MacFile taken;
    taken.firstRowMayBeHeader = false;
    int lastRow = 1;
    for (const MacCell& cell : file.cells) {
        lastRow = std::max(lastRow, cell.row);
        if (cell.column == column && cell.row > 1) taken.cells.push_back(cell);
    }
    taken.emptyCells = static_cast<std::size_t>(lastRow - 1) - taken.cells.size();
    return taken;
}

SheetServers sheetServers(const MacFile& file, int macColumn) {
    SheetServers servers;
    for (const MacCell& cell : file.cells) {
        if (cell.row != 1) continue;
        std::string header(mac::trimWhiteSpace(cell.text));
        std::transform(header.begin(), header.end(), header.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (header == "server") {
            servers.column = cell.column;
            break;
        }
    }
    if (servers.column == 0) return servers;
    for (MacCell& cell : sheetColumn(file, servers.column).cells) {
        servers.byRow.emplace(cell.row, std::move(cell.text));
    }
    for (const MacCell& cell : sheetColumn(file, macColumn).cells) {
        if (auto own = servers.byRow.find(cell.row); own != servers.byRow.end()) {
            servers.byMacCell.emplace(cell.text, own->second);
        }
    }
    return servers;
}

SheetServers deviceSheetServers(const std::string& path, int macColumn,
                                const std::stop_token& stop) {
    auto file = readMacFile(path, stop);
    return file ? sheetServers(*file, macColumn) : SheetServers{};
}

std::size_t deviceSheetMacCount(const std::string& path, mac::Form form,
                                const std::stop_token& stop) {
    auto file = readMacFile(path, stop);
    if (!file) return 0;
    MacFile columnA = sheetColumn(*file, 1);
    if (notAMacFileReason(path, checkMacCells(*file, DeviceOperation::Add, form)).empty()) return 0;
    const CheckedMacFile column = checkMacCells(std::move(columnA), DeviceOperation::Add, form);
    if (!notAMacFileReason(path, column).empty()) return 0;
    return column.written.size();
}

namespace {

// "repeats row 2" in a file of one column, "repeats cell B2" where there are several.
support::Phrase repeatsPhrase(int row, int column, bool oneColumn) {
    if (oneColumn)
        return support::Phrase{VELQUOR_TR_NOOP("core", "repeats row %1"), {std::to_string(row)}};
    return support::Phrase{VELQUOR_TR_NOOP("core", "repeats cell %1"),
                           {sheet::cellName(row, column)}};
}

// A cell's row and column as the tag of its address among those seen.
std::uint64_t tagOf(const MacCell& cell) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(cell.row)) << 32) |
           static_cast<std::uint32_t>(cell.column);
}

}  // namespace

MacCellCheck::MacCellCheck(DeviceOperation command, mac::Form form, bool firstRowMayBeHeader,
                           bool oneColumn, std::size_t expectedCells)
    : m_command(command),
      m_form(form),
      m_headerPossible(firstRowMayBeHeader),
      m_oneColumn(oneColumn),
      m_seen(expectedCells) {}

CheckedCell MacCellCheck::check(MacCell cell) {
    // Only the first cell, and only in row 1, may be the header.
    const bool mayBeHeader = std::exchange(m_headerPossible, false) && cell.row == 1;
    CheckedCell checked{
        MacResult{cell.row, cell.column, {}, m_command, MacOutcome::NotSent, {}, {}}};
    MacResult& result = checked.result;
    const mac::Reading reading(cell.text);
    if (!reading.ok()) {
        ++m_notMacAddresses;
        if (mayBeHeader && reading.refusal().kind == mac::RefusalKind::NotMac) {
            result.outcome = MacOutcome::Skipped;
            result.header = true;
            result.setReason(support::Phrase{VELQUOR_TR_NOOP("core", "header"), {}});
        } else {
            result.outcome = MacOutcome::Refused;
            if (cell.number) ++m_numbers;
            result.setReason(
                mac::refusalPhrase(cell.number ? mac::storedAsNumber(reading.refusal(), cell.text)
                                               : reading.refusal()));
        }
    } else if (const auto first = m_seen.claim(reading.address(), tagOf(cell))) {
        result.outcome = MacOutcome::Skipped;
        result.setReason(repeatsPhrase(static_cast<int>(*first >> 32),
                                       static_cast<int>(*first & 0xffffffffU), m_oneColumn));
    } else {
        result.written = reading.address().written(m_form, cell.text);
        checked.rewritten = result.written != cell.text;
        for (char c : result.written) {
            m_lower = m_lower || (c >= 'a' && c <= 'f');
            m_upper = m_upper || (c >= 'A' && c <= 'F');
        }
    }
    result.macAddress = std::move(cell.text);
    return checked;
}

CheckedMacFile checkMacCells(MacFile file, DeviceOperation command, mac::Form form) {
    const bool oneColumn = std::all_of(file.cells.begin(), file.cells.end(), [&](const auto& c) {
        return c.column == file.cells.front().column;
    });
    MacCellCheck check(command, form, file.firstRowMayBeHeader, oneColumn, file.cells.size());
    CheckedMacFile checked;
    checked.results.reserve(file.cells.size());
    for (MacCell& cell : file.cells) {
        CheckedCell one = check.check(std::move(cell));
        if (one.result.outcome == MacOutcome::NotSent) {
            checked.written.push_back(std::move(one.result.written));
            one.result.written.clear();
            checked.rewritten.push_back(one.rewritten);
        }
        checked.results.push_back(std::move(one.result));
    }
    checked.mixedCase = check.mixedCase();
    checked.notMacAddresses = check.notMacAddresses();
    checked.numbers = check.numbers();
    return checked;
}

support::Error writtenTooLong(const MacResult& cell, const std::string& written,
                              const std::string& file) {
    //: %1 is a cell ("A7"), %2 the MAC file or "the MAC addresses given", %3 and %4
    //: byte counts
    return makeError(
        ErrorCode::InvalidInput,
        support::Phrase{
            VELQUOR_TR_NOOP("core",
                            "The MAC address in cell %1 of %2 is %3 bytes long; its field holds "
                            "at most %4 bytes."),
            {sheet::cellName(cell.row, cell.column),
             file.empty() ? std::string(VELQUOR_TR_NOOP("core", "the MAC addresses given")) : file,
             std::to_string(written.size()), std::to_string(wire::kTextFieldWidth)},
            file.empty() ? support::markedArgument(2) : std::uint16_t{0}});
}

support::Phrase notAMacFileReason(const std::string& path, const CheckedMacFile& checked) {
    const std::size_t cells = checked.results.size();
    if (cells == 0 || checked.notMacAddresses * 2 <= cells) return {};
    if (checked.numbers * 2 > checked.notMacAddresses) {
        //: %1 is the file, %2 and %3 numbers of cells
        return support::Phrase{
            VELQUOR_TR_NOOP("core",
                            "%1 does not look like a MAC file: %2 of %3 cells are numbers, not "
                            "text, and the spreadsheet dropped their leading zeros; format the "
                            "MAC column as text and enter the MAC addresses again."),
            {path, std::to_string(checked.numbers), std::to_string(cells)}};
    }
    //: %1 is the file, %2 and %3 numbers of cells
    return support::Phrase{
        VELQUOR_TR_NOOP("core",
                        "%1 does not look like a MAC file: %2 of %3 cells are not MAC addresses."),
        {path, std::to_string(checked.notMacAddresses), std::to_string(cells)}};
}

}  // namespace velquor::provisioning
