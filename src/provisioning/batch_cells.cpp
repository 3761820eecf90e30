// Typed MAC addresses, the rows to retry and earlier reports read back; see batch_cells.h.
#include "provisioning/batch_cells.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "report/csv_writer.h"
#include "report/report_file.h"
#include "sheet/cell_name.h"
#include "sheet/sheet_reader.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr std::string_view kTypedSeparators = " \t\r\n\f\v,;";
// The report's retry column, after the seven of the first reports.
constexpr std::size_t kRetryColumn = 7;

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

struct ReportLine {
    int row = 0;
    int column = 0;
    DeviceOperation operation = DeviceOperation::Add;
    MacOutcome outcome = MacOutcome::Failed;
    bool retried = false;          // a retry sends it again
    bool answeredForGood = false;  // failed, and the report says a retry cannot change it
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
    // A report of the first seven columns has no retry column: every failure is retried.
    const std::string retryCell = cells.size() > kRetryColumn ? cells[kRetryColumn] : "";
    if (retryCell != "" && retryCell != "yes" && retryCell != "no") {
        //: %1 is the line's retry cell; yes and no stay as they are
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core", "its retry '%1' is not yes or no"),
                                         {retryCell}});
    }
    line.answeredForGood = worthRetrying(line.outcome) && retryCell == "no";
    line.retried = worthRetrying(line.outcome) && !line.answeredForGood;
    return line;
}

using LineVisitor =
    std::function<support::Status(const ReportLine& line, std::vector<std::string>& cells)>;

// One line after the header: checked, of the report's one command, then visited.
support::Status readReportLine(const std::string& path, int row, std::size_t columns, bool csv,
                               std::vector<std::string>& cells,
                               std::optional<DeviceOperation>& command, const LineVisitor& visit) {
    const std::string lineNumber = std::to_string(row);
    if (cells.size() > columns) {
        //: %1 is the file, %2 a cell ("H3"), %3 how many columns the report has
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "%1 is not a device report: cell "
                                                         "%2 is beyond the report's %3 "
                                                         "columns."),
                                         {path, sheet::cellName(row, static_cast<int>(columns) + 1),
                                          std::to_string(columns)}});
    }
    cells.resize(columns);
    if (csv) {
        for (std::string& cell : cells) cell = report::unguardedCell(cell);
    }
    auto line = readLine(cells);
    if (!line) {
        //: %1 is the file, %2 the line, %3 what is wrong with it
        support::Phrase notALine = support::withCause(
            support::Phrase{VELQUOR_TR_NOOP("core", "%1 line %2 is not a device report line: %3."),
                            {path, lineNumber}},
            line.error());
        return makeError(ErrorCode::InvalidInput, std::move(notALine));
    }
    const DeviceOperation lineCommand =
        line->operation == DeviceOperation::Delete ? DeviceOperation::Delete : DeviceOperation::Add;
    if (command && *command != lineCommand) {
        //: %1 is the file, %2 the line
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "%1 line %2 mixes add and delete "
                                                         "rows: a report is of one of them."),
                                         {path, lineNumber}});
    }
    command = lineCommand;
    return visit(*line, cells);
}

support::Error notAReport(const std::string& path) {
    //: %1 is the file; the column names stay as they are
    return makeError(ErrorCode::InvalidInput,
                     support::Phrase{VELQUOR_TR_NOOP("core",
                                                     "%1 is not a device report: its first "
                                                     "line is not "
                                                     "row,column,cell,mac,operation,outcome,"
                                                     "reason."),
                                     {path}});
}

// The header's width: the seven columns of the first reports, or those and the retry column.
std::optional<std::size_t> reportColumns(int row, const std::vector<std::string>& header) {
    std::vector<std::string> columns = resultsHeader();
    if (row == 1 && header == columns) return columns.size();
    columns.pop_back();
    if (row == 1 && header == columns) return columns.size();
    return std::nullopt;
}

// Walks the report's lines after its header, a row at a time, each checked and with the CSV
// writer's guards taken off, as wide as the header; command is set to the report's.
support::Status walkReport(const std::string& path, const std::stop_token& stop,
                           DeviceOperation& command, const LineVisitor& visit) {
    const bool csv = guardedAsCsv(path);
    std::size_t columns = 0;
    std::optional<DeviceOperation> seen;
    support::Status refused;
    auto walked = sheet::forEachRow(
        path,
        [&](int row, std::vector<std::string>& cells) -> support::Status {
            if (columns == 0) {
                const auto width = reportColumns(row, cells);
                if (!width) return refused = notAReport(path);
                columns = *width;
                return {};
            }
            refused = readReportLine(path, row, columns, csv, cells, seen, visit);
            return refused;
        },
        stop);
    if (!walked && refused) {
        //: %1 is the report's file, %2 why it cannot be read
        return makeError(
            walked.error().code,
            support::withCause(
                support::Phrase{VELQUOR_TR_NOOP("core", "Cannot read the report %1: %2"), {path}},
                walked.error()));
    }
    if (!walked) return walked;
    if (columns == 0) return notAReport(path);
    command = seen.value_or(DeviceOperation::Add);
    return {};
}

// FNV-1a over a report's cells, each closed by a unit separator and each line by a record one.
class Fingerprint {
public:
    void add(const std::vector<std::string>& cells) {
        for (const std::string& cell : cells) {
            for (char c : cell) mix(static_cast<unsigned char>(c));
            mix(0x1f);
        }
        mix(0x1e);
    }
    std::uint64_t value() const { return m_hash; }

private:
    void mix(unsigned char byte) { m_hash = (m_hash ^ byte) * 0x100000001b3ULL; }
    std::uint64_t m_hash = 0xcbf29ce484222325ULL;
};

support::Error changedReport(const std::string& path) {
    //: %1 is the report's file
    return makeError(
        ErrorCode::InvalidInput,
        support::Phrase{
            VELQUOR_TR_NOOP("core", "%1 changed while its rows were retried; it is not written"),
            {path}});
}

// The visitor's own error as it is, where walkReport would word a reader's.
struct KeptError {
    std::optional<support::Error> error;
    support::Status keep(support::Status status) {
        if (!status) error = status.error();
        return status;
    }
    support::Status over(support::Status walked) const {
        if (error) return *error;
        return walked;
    }
};

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

support::Result<RetryReport> readRetryReport(const std::string& path, mac::Form form,
                                             std::stop_token stop) {
    RetryReport report;
    report.path = path;
    std::error_code unknown;
    report.bytes = std::filesystem::file_size(path, unknown);
    report.modified = std::filesystem::last_write_time(path, unknown);
    Fingerprint fingerprint;
    std::optional<int> column;
    MacCellCheck check(DeviceOperation::Add, form, false, true);
    KeptError tooLong;
    auto walked = walkReport(
        path, stop, report.command,
        [&](const ReportLine& line, std::vector<std::string>& cells) -> support::Status {
            ++report.lines;
            fingerprint.add(cells);
            if (line.retried) {
                ++report.retried;
                report.oneColumn = report.oneColumn && column.value_or(line.column) == line.column;
                column = line.column;
                const CheckedCell checked = check.check(MacCell{line.row, line.column, cells[3]});
                if (checked.result.outcome != MacOutcome::NotSent) return {};
                ++report.toSend;
                if (checked.result.written.size() > wire::kTextFieldWidth) {
                    return tooLong.keep(
                        writtenTooLong(checked.result, checked.result.written, std::string()));
                }
            } else if (line.answeredForGood && report.keptCount++ < kMaxFailureMessages) {
                MacResult kept;
                kept.row = line.row;
                kept.column = line.column;
                kept.macAddress = std::move(cells[3]);
                kept.operation = line.operation;
                kept.outcome = line.outcome;
                kept.reason = std::move(cells[6]);
                kept.answeredForGood = true;
                report.kept.push_back(std::move(kept));
            }
            return {};
        });
    if (auto read = tooLong.over(std::move(walked)); !read) return read.error();
    report.fingerprint = fingerprint.value();
    return report;
}

MacCellCheck retryCheck(const RetryReport& report, mac::Form form) {
    return MacCellCheck(report.command, form, false, report.oneColumn, report.toSend);
}

support::Status walkRetryRows(const RetryReport& report, MacCellCheck& check,
                              const std::function<support::Status(BatchRow)>& offer) {
    std::error_code unknown;
    if (std::filesystem::file_size(report.path, unknown) != report.bytes ||
        std::filesystem::last_write_time(report.path, unknown) != report.modified) {
        return changedReport(report.path);
    }
    const std::size_t width = resultsHeader().size();
    Fingerprint fingerprint;
    std::size_t lines = 0;
    DeviceOperation command = report.command;
    KeptError offered;
    // Not stopped by an interrupt: a cancelled batch passes on its rows not sent.
    auto walked = walkReport(
        report.path, {}, command,
        [&](const ReportLine& line, std::vector<std::string>& cells) -> support::Status {
            ++lines;
            fingerprint.add(cells);
            BatchRow row;
            if (line.retried) {
                CheckedCell checked =
                    check.check(MacCell{line.row, line.column, std::move(cells[3])});
                row.result = std::move(checked.result);
                row.rewritten = checked.rewritten;
            } else {
                row.result.row = line.row;
                row.result.column = line.column;
                row.result.operation = line.operation;
                row.result.outcome = line.outcome;
                cells.resize(width);  // a line of a report without the retry column: done
                row.line = std::move(cells);
            }
            return offered.keep(offer(std::move(row)));
        });
    if (auto read = offered.over(std::move(walked)); !read) return read;
    if (lines != report.lines || command != report.command ||
        fingerprint.value() != report.fingerprint) {
        return changedReport(report.path);
    }
    return {};
}

support::Result<MergedReport> MergedReport::create(const std::string& out) {
    auto writer = report::ReportWriter::create(out, resultsHeader());
    if (!writer) return writer.error();
    return MergedReport(std::move(*writer));
}

support::Status MergedReport::write(const BatchRow& row) {
    return m_writer.writeRow(row.line.empty() ? resultCells(row.result) : row.line);
}

support::Result<DeviceBatchSummary> retryReport(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const RetryReport& report,
    const std::string& out, const ReplaceQuestion& askReplace,
    const ServerSilentQuestion& askWhenSilent, support::Reporter& reporter,
    support::ProgressSink& progress, std::stop_token stop,
    const LoginEndedQuestion& askLoginEnded) {
    const std::string_view caption = batchCaption(report.command);
    auto failed = [&](const support::Error& error) {
        if (error.code != ErrorCode::Cancelled) reporter.report(error.message, caption);
        return error;
    };
    if (auto texts = checkBatchTexts(batch); !texts) return failed(texts.error());
    std::optional<MergedReport> merged;
    if (!out.empty()) {
        auto created = MergedReport::create(out);
        if (!created) return failed(created.error());
        merged.emplace(std::move(*created));
    }
    DeviceBatchSummary summary;
    summary.command = report.command;
    progress.progress(0, report.toSend, caption);
    MacCellCheck check = retryCheck(report, batch.macForm);
    {
        BatchSender sender(BatchRun{endpoint,
                                    batch,
                                    askReplace,
                                    {&askWhenSilent, &askLoginEnded},
                                    reporter,
                                    progress,
                                    stop},
                           report.toSend, summary, [&](BatchRow& row) -> support::Status {
                               if (row.line.empty()) summary.counted.add(row.result);
                               return merged ? merged->write(row) : support::Status{};
                           });
        auto sent = walkRetryRows(report, check,
                                  [&sender](BatchRow row) { return sender.offer(std::move(row)); });
        if (sent) sent = sender.finish();
        if (!sent) return failed(sent.error());
    }
    summary.mixedCase = check.mixedCase();
    if (merged) {
        if (auto written = merged->commit(); !written) return failed(written.error());
    }
    reportBatchEnd(summary, reporter);
    return summary;
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

}  // namespace velquor::provisioning
