// Reading and checking a MAC file; see mac_file.h.
#include "provisioning/mac_file.h"

#include <algorithm>
#include <cstdint>

#include "mac/mac_check.h"
#include "sheet/cell_name.h"
#include "sheet/sheet_reader.h"
#include "support/translatable.h"

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

bool isHeader(const MacFile& file, std::size_t index, const mac::CellVerdict& verdict) {
    return index == 0 && file.firstRowMayBeHeader && file.cells[0].row == 1 &&
           verdict.verdict == mac::Verdict::Refused &&
           verdict.refusal.kind == mac::RefusalKind::NotMac;
}

// "repeats row 2" in a file of one column, "repeats cell B2" where there are several.
support::Phrase repeatsPhrase(const MacCell& cell, bool oneColumn) {
    if (oneColumn)
        return support::Phrase{VELQUOR_TR_NOOP("core", "repeats row %1"),
                               {std::to_string(cell.row)}};
    return support::Phrase{VELQUOR_TR_NOOP("core", "repeats cell %1"),
                           {sheet::cellName(cell.row, cell.column)}};
}

}  // namespace

CheckedMacFile checkMacCells(MacFile file, DeviceOperation command, mac::Form form) {
    std::vector<std::string_view> texts;
    texts.reserve(file.cells.size());
    for (const MacCell& cell : file.cells) texts.emplace_back(cell.text);
    mac::CheckResult check = mac::checkCells(texts, form, mac::RepeatRule::FirstWins);
    const bool oneColumn = std::all_of(file.cells.begin(), file.cells.end(), [&](const auto& c) {
        return c.column == file.cells.front().column;
    });

    CheckedMacFile checked;
    checked.mixedCase = check.mixedCase;
    checked.notMacAddresses = check.refused;
    checked.results.reserve(file.cells.size());
    for (std::size_t i = 0; i < file.cells.size(); ++i) {
        mac::CellVerdict& verdict = check.cells[i];
        MacCell& cell = file.cells[i];
        MacResult result{cell.row, cell.column, {}, command, MacOutcome::NotSent, {}, {}};
        if (isHeader(file, i, verdict)) {
            result.outcome = MacOutcome::Skipped;
            result.header = true;
            result.setReason(support::Phrase{VELQUOR_TR_NOOP("core", "header"), {}});
        } else if (verdict.verdict == mac::Verdict::Refused) {
            result.outcome = MacOutcome::Refused;
            if (cell.number) ++checked.numbers;
            result.setReason(mac::refusalPhrase(
                cell.number ? mac::storedAsNumber(verdict.refusal, cell.text) : verdict.refusal));
        } else if (verdict.verdict == mac::Verdict::Repeat) {
            result.outcome = MacOutcome::Skipped;
            result.setReason(repeatsPhrase(file.cells[verdict.other], oneColumn));
        } else {
            checked.written.push_back(std::move(verdict.written));
            checked.rewritten.push_back(verdict.rewritten);
        }
        result.macAddress = std::move(cell.text);
        checked.results.push_back(std::move(result));
    }
    return checked;
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
