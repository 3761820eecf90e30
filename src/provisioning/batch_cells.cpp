// Typed MAC addresses, the rows to retry and earlier reports read back; see batch_cells.h.
#include "provisioning/batch_cells.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>

#include "report/csv_writer.h"
#include "sheet/cell_name.h"
#include "sheet/sheet_reader.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr std::string_view kTypedSeparators = " \t\r\n\f\v,;";
constexpr std::size_t kReportColumns = 7;

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The CSV writer puts a ' before a cell a spreadsheet would run as a formula; a workbook's
// cells are written as they are.
bool guardedAsCsv(const std::string& path) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return !endsWith(lower, ".xlsx") && !endsWith(lower, ".xlsm");
}

std::optional<int> positiveNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1) return std::nullopt;
    return value;
}

std::optional<MacOutcome> outcomeNamed(std::string_view name) {
    // Reports written before a declined replacement had a word of its own call it "skipped",
    // as a header or a repeat still is; neither is retried.
    if (name == "skipped") return MacOutcome::Skipped;
    for (MacOutcome outcome :
         {MacOutcome::Added, MacOutcome::Replaced, MacOutcome::Declined, MacOutcome::Deleted,
          MacOutcome::Failed, MacOutcome::NotSent, MacOutcome::Unknown, MacOutcome::Refused,
          MacOutcome::Skipped, MacOutcome::Usable}) {
        if (outcomeName(outcome) == name) return outcome;
    }
    return std::nullopt;
}

std::optional<DeviceOperation> operationNamed(std::string_view name) {
    for (DeviceOperation operation :
         {DeviceOperation::Add, DeviceOperation::Replace, DeviceOperation::Delete}) {
        if (operationName(operation) == name) return operation;
    }
    return std::nullopt;
}

// The report's cells as rows of its seven columns, the header first; a cell outside them is
// an error.
support::Result<std::map<int, std::vector<std::string>>> reportRows(const std::string& path,
                                                                    const std::stop_token& stop) {
    sheet::SheetReader reader;
    if (auto opened = reader.Open(path, stop); !opened) {
        //: %1 is the report's file, %2 why it cannot be read
        return makeError(
            opened.error().code,
            support::withCause(
                support::Phrase{VELQUOR_TR_NOOP("core", "Cannot read the report %1: %2"), {path}},
                opened.error()));
    }
    const bool csv = guardedAsCsv(path);
    std::map<int, std::vector<std::string>> rows;
    auto walked = reader.forEachCell(
        [&](int row, int column, std::string_view text) -> support::Status {
            if (column > static_cast<int>(kReportColumns)) {
                //: %1 is the file, %2 a cell ("H3")
                return makeError(ErrorCode::InvalidInput,
                                 support::Phrase{VELQUOR_TR_NOOP("core",
                                                                 "%1 is not a device report: cell "
                                                                 "%2 is beyond the report's seven "
                                                                 "columns."),
                                                 {path, sheet::cellName(row, column)}});
            }
            auto& cells = rows[row];
            cells.resize(kReportColumns);
            cells[static_cast<std::size_t>(column - 1)] =
                csv ? report::unguardedCell(text) : std::string(text);
            return {};
        },
        stop);
    if (!walked) return walked.error();
    return rows;
}

struct ReportLine {
    int row = 0;
    int column = 0;
    DeviceOperation operation = DeviceOperation::Add;
    MacOutcome outcome = MacOutcome::Failed;
};

// One line of the report checked: what it says, or why it is not a report line.
support::Result<ReportLine> readLine(const std::vector<std::string>& cells) {
    ReportLine line;
    const auto row = positiveNumber(cells[0]);
    const auto column = positiveNumber(cells[1]);
    if (!row || !column) {
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "its row or column is no number"), {}});
    }
    line.row = *row;
    line.column = *column;
    if (cells[2] != sheet::cellName(line.row, line.column)) {
        //: %1 is the cell's name as the line gives it, %2 and %3 its row and column
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "its cell '%1' is not row %2, column %3"),
                            {cells[2], cells[0], cells[1]}});
    }
    const auto operation = operationNamed(cells[4]);
    if (!operation) {
        //: %1 is the operation the line gives
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "its operation '%1' is unknown"), {cells[4]}});
    }
    const auto outcome = outcomeNamed(cells[5]);
    if (!outcome) {
        //: %1 is the outcome the line gives
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "its outcome '%1' is unknown"), {cells[5]}});
    }
    line.operation = *operation;
    line.outcome = *outcome;
    return line;
}

}  // namespace

MacFile parseTypedMacs(std::string_view text) {
    MacFile typed;
    typed.firstRowMayBeHeader = false;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(kTypedSeparators, at)) != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(kTypedSeparators, at), text.size());
        typed.cells.push_back(MacCell{static_cast<int>(typed.cells.size() + 1), 1,
                                      std::string(text.substr(at, end - at))});
        at = end;
    }
    return typed;
}

bool worthRetrying(MacOutcome outcome) {
    return outcome == MacOutcome::Failed || outcome == MacOutcome::Unknown ||
           outcome == MacOutcome::NotSent;
}

bool worthRetrying(const MacResult& result) {
    return worthRetrying(result.outcome) && !result.answeredForGood;
}

MacFile retryCells(const DeviceBatchSummary& summary) {
    MacFile cells;
    cells.firstRowMayBeHeader = false;
    for (const MacResult& result : summary.results) {
        if (worthRetrying(result)) {
            cells.cells.push_back(MacCell{result.row, result.column, result.macAddress});
        }
    }
    return cells;
}

support::Result<RetryReport> readRetryReport(const std::string& path, std::stop_token stop) {
    auto rows = reportRows(path, stop);
    if (!rows) return rows.error();
    RetryReport report;
    report.table.header = resultsTable(DeviceBatchSummary{}).header;
    report.cells.firstRowMayBeHeader = false;
    if (rows->empty() || rows->begin()->first != 1 ||
        rows->begin()->second != report.table.header) {
        //: %1 is the file; the column names stay as they are
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "%1 is not a device report: its first "
                                                         "line is not "
                                                         "row,column,cell,mac,operation,outcome,"
                                                         "reason."),
                                         {path}});
    }
    std::optional<DeviceOperation> command;
    for (auto it = std::next(rows->begin()); it != rows->end(); ++it) {
        const std::string lineNumber = std::to_string(it->first);
        auto line = readLine(it->second);
        if (!line) {
            //: %1 is the file, %2 the line, %3 what is wrong with it
            support::Phrase notALine = support::withCause(
                support::Phrase{
                    VELQUOR_TR_NOOP("core", "%1 line %2 is not a device report line: %3."),
                    {path, lineNumber}},
                line.error());
            return makeError(ErrorCode::InvalidInput, std::move(notALine));
        }
        const DeviceOperation lineCommand = line->operation == DeviceOperation::Delete
                                                ? DeviceOperation::Delete
                                                : DeviceOperation::Add;
        if (command && *command != lineCommand) {
            //: %1 is the file, %2 the line
            return makeError(ErrorCode::InvalidInput,
                             support::Phrase{VELQUOR_TR_NOOP("core",
                                                             "%1 line %2 mixes add and delete "
                                                             "rows: a report is of one of them."),
                                             {path, lineNumber}});
        }
        command = lineCommand;
        if (worthRetrying(line->outcome)) {
            report.retried.push_back(report.table.rows.size());
            report.cells.cells.push_back(MacCell{line->row, line->column, it->second[3]});
        }
        report.table.rows.push_back(std::move(it->second));
    }
    report.command = command.value_or(DeviceOperation::Add);
    return report;
}

DeviceBatchSummary mergeRetried(DeviceBatchSummary first, const DeviceBatchSummary& retry) {
    std::map<std::pair<int, int>, const MacResult*> retried;
    for (const MacResult& result : retry.results) {
        retried.emplace(std::pair{result.row, result.column}, &result);
    }
    for (MacResult& result : first.results) {
        if (auto found = retried.find({result.row, result.column}); found != retried.end()) {
            result = *found->second;
        }
    }
    first.cancelled = retry.cancelled;
    first.serverNotAnswering = retry.serverNotAnswering;
    first.serverNotAnsweringPhrase = retry.serverNotAnsweringPhrase;
    first.loginEnded = retry.loginEnded;
    first.mixedCase = first.mixedCase || retry.mixedCase;
    return first;
}

report::ReportTable mergeRetry(const RetryReport& report, const DeviceBatchSummary& summary) {
    report::ReportTable merged = report.table;
    const report::ReportTable retried = resultsTable(summary);
    const std::size_t count = std::min(retried.rows.size(), report.retried.size());
    for (std::size_t i = 0; i < count; ++i) merged.rows[report.retried[i]] = retried.rows[i];
    return merged;
}

}  // namespace velquor::provisioning
