// The bulk device commands: every filled cell of a MAC file read and checked, then one device
// request each (sent by batch_sender), and the closing summary.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "provisioning/batch_sender.h"
#include "provisioning/kesto_operations.h"
#include "sheet/cell_name.h"
#include "sheet/sheet_reader.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;

namespace {

struct MacCell {
    int row;
    int column;
    std::string text;
};

struct MacFile {
    std::vector<MacCell> cells;  // the non-empty cells, row by row
    std::size_t emptyCells = 0;
};

// The whole file is read and closed before the first request, so a reader failure can never
// leave a batch half sent. Only the cells that show something are walked: the empty ones of
// the rectangle from A1 are counted, not visited, since a sparse sheet's rectangle may hold
// billions of them.
support::Result<MacFile> readMacFile(const std::string& path, const std::stop_token& stop) {
    if (path.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         VELQUOR_TR_NOOP("core", "No MAC file was chosen."));
    }
    sheet::SheetReader reader;
    auto dimensions = reader.Open(path, stop);
    if (!dimensions) {
        return makeError(dimensions.error().code,
                         "Cannot read the MAC file " + path + ": " + dimensions.error().message);
    }
    MacFile file;
    auto walked = reader.forEachCell(
        [&file](int row, int column, std::string_view text) -> support::Status {
            file.cells.push_back(MacCell{row, column, std::string(text)});
            return {};
        },
        stop);
    if (!walked) {
        return makeError(walked.error().code,
                         "Cannot read the MAC file " + path + ": " + walked.error().message);
    }
    const std::uint64_t rectangle = static_cast<std::uint64_t>(reader.RowCount()) *
                                    static_cast<std::uint64_t>(reader.ColumnCount());
    file.emptyCells = static_cast<std::size_t>(rectangle - file.cells.size());
    reader.Close();
    return file;
}

// Every text is checked before the first request: a batch refused halfway through would leave
// the server with part of the file.
support::Status checkFieldLengths(const MacFile& file, const DeviceBatch& batch) {
    if (batch.server.size() > wire::kServerFieldWidth) {
        return makeError(ErrorCode::InvalidInput,
                         "The Server text is " + std::to_string(batch.server.size()) +
                             " bytes long; its field holds at most " +
                             std::to_string(wire::kServerFieldWidth) + " bytes.");
    }
    if (batch.userName.size() > wire::kTextFieldWidth) {
        return makeError(ErrorCode::InvalidInput,
                         "The user name is " + std::to_string(batch.userName.size()) +
                             " bytes long; its field holds at most " +
                             std::to_string(wire::kTextFieldWidth) + " bytes.");
    }
    for (const MacCell& cell : file.cells) {
        if (cell.text.size() > wire::kTextFieldWidth) {
            return makeError(ErrorCode::InvalidInput,
                             "The MAC address in cell " + sheet::cellName(cell.row, cell.column) +
                                 " of " + batch.macFilePath + " is " +
                                 std::to_string(cell.text.size()) +
                                 " bytes long; its field holds at most " +
                                 std::to_string(wire::kTextFieldWidth) + " bytes.");
        }
    }
    return {};
}

std::string_view captionOf(DeviceOperation command) {
    return command == DeviceOperation::Delete ? kesto_text::kDeleteDeviceCaption
                                              : kesto_text::kAddDeviceCaption;
}

support::Result<DeviceBatchSummary> runBatch(
    DeviceOperation command, const KestoEndpoint& endpoint, const DeviceBatch& batch,
    const ReplaceQuestion& askReplace, const ServerSilentQuestion* askWhenSilent,
    support::Reporter& reporter, support::ProgressSink& progress, std::stop_token stop) {
    const std::string_view caption = captionOf(command);
    auto file = readMacFile(batch.macFilePath, stop);
    if (!file) {
        // A stop asked for by the user needs no message of its own.
        if (file.error().code != ErrorCode::Cancelled)
            reporter.report(file.error().message, caption);
        return file.error();
    }
    if (auto lengths = checkFieldLengths(*file, batch); !lengths) {
        reporter.report(lengths.error().message, caption);
        return lengths.error();
    }

    DeviceBatchSummary summary;
    summary.command = command;
    summary.emptyCells = file->emptyCells;
    summary.results.reserve(file->cells.size());
    for (MacCell& cell : file->cells) {
        summary.results.push_back(MacResult{
            cell.row, cell.column, std::move(cell.text), command, MacOutcome::NotSent, {}, {}});
    }

    progress.progress(0, summary.results.size(), caption);
    sendDeviceBatch(endpoint, batch, askReplace, askWhenSilent, reporter, progress, stop, summary);

    // Declined replacements and empty cells are the operator's choice and the file's shape, not
    // failures: the completion text stands whenever no request failed or went unsent.
    if (summary.succeeded()) {
        reporter.report(command == DeviceOperation::Delete ? kesto_text::kDeleteDeviceCompleted
                                                           : kesto_text::kAddDeviceCompleted,
                        caption);
    } else {
        reporter.report(describeSummary(summary), caption);
    }
    return summary;
}

}  // namespace

std::size_t DeviceBatchSummary::count(MacOutcome outcome) const {
    return static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(),
                      [outcome](const MacResult& result) { return result.outcome == outcome; }));
}

std::vector<std::string> DeviceBatchSummary::failedMacAddresses() const {
    std::vector<std::string> failed;
    for (const MacResult& result : results) {
        if (result.outcome == MacOutcome::Failed) failed.push_back(result.macAddress);
    }
    return failed;
}

bool DeviceBatchSummary::succeeded() const {
    return !cancelled && serverNotAnswering.empty() && count(MacOutcome::Failed) == 0 &&
           count(MacOutcome::NotSent) == 0 && count(MacOutcome::Unknown) == 0;
}

bool DeviceBatchSummary::complete() const {
    return succeeded() && emptyCells == 0 && count(MacOutcome::Declined) == 0;
}

std::string describeSummary(const DeviceBatchSummary& summary) {
    const bool deleting = summary.command == DeviceOperation::Delete;
    std::string text;
    if (summary.cancelled) {
        text = deleting ? "Delete device was cancelled.\n" : "Add device was cancelled.\n";
    } else if (!summary.serverNotAnswering.empty()) {
        text = std::string(deleting ? "Delete device stopped" : "Add device stopped") +
               ": the server is not answering (" + summary.serverNotAnswering + ").\n";
    } else if (summary.count(MacOutcome::Failed) > 0) {
        text = deleting ? "Not every device was deleted.\n" : "Not every device was added.\n";
    } else {
        text = deleting ? "Delete device finished.\n" : "Add device finished.\n";
    }
    auto line = [&text](std::string_view label, std::size_t count) {
        text += std::string(label) + ": " + std::to_string(count) + "\n";
    };
    if (deleting) {
        line("Deleted", summary.count(MacOutcome::Deleted));
    } else {
        line("Added", summary.count(MacOutcome::Added));
        line("Replaced", summary.count(MacOutcome::Replaced));
        line("Skipped (already registered, not replaced)", summary.count(MacOutcome::Declined));
    }
    line("Failed", summary.count(MacOutcome::Failed));
    if (const auto unknown = summary.count(MacOutcome::Unknown); unknown > 0) {
        line("Unknown (sent, no reply)", unknown);
    }
    line("Empty cells skipped", summary.emptyCells);
    if (summary.cancelled) {
        line("Not sent (cancelled)", summary.count(MacOutcome::NotSent));
    } else if (const auto notSent = summary.count(MacOutcome::NotSent); notSent > 0) {
        line("Not sent", notSent);
    }
    if (summary.count(MacOutcome::Failed) > kMaxFailureMessages) {
        text += "Only the first " + std::to_string(kMaxFailureMessages) +
                " failures were shown one by one; every row's outcome and reason is in the "
                "results.\n";
    }

    const auto failed = summary.failedMacAddresses();
    if (!failed.empty()) {
        text += "Failed MAC addresses:";
        const std::size_t listed = std::min(failed.size(), kMaxListedFailures);
        for (std::size_t i = 0; i < listed; ++i) text += (i == 0 ? " " : ", ") + failed[i];
        if (failed.size() > listed) {
            text += " and " + std::to_string(failed.size() - listed) + " more";
        }
        text += "\n";
    }
    text.pop_back();  // the last line feed
    return text;
}

std::string_view operationName(DeviceOperation operation) {
    switch (operation) {
        case DeviceOperation::Add:
            return "add";
        case DeviceOperation::Replace:
            return "replace";
        case DeviceOperation::Delete:
            return "delete";
    }
    return "add";
}

std::string_view outcomeName(MacOutcome outcome) {
    switch (outcome) {
        case MacOutcome::Added:
            return VELQUOR_TR_NOOP("core", "added");
        case MacOutcome::Replaced:
            return VELQUOR_TR_NOOP("core", "replaced");
        case MacOutcome::Declined:
            return VELQUOR_TR_NOOP("core", "skipped");
        case MacOutcome::Deleted:
            return VELQUOR_TR_NOOP("core", "deleted");
        case MacOutcome::Failed:
            return VELQUOR_TR_NOOP("core", "failed");
        case MacOutcome::NotSent:
            return VELQUOR_TR_NOOP("core", "not sent");
        case MacOutcome::Unknown:
            return VELQUOR_TR_NOOP("core", "unknown (sent, no reply)");
    }
    return VELQUOR_TR_NOOP("core", "failed");
}

report::ReportTable resultsTable(const DeviceBatchSummary& summary) {
    report::ReportTable table;
    table.header = {"row", "column", "cell", "mac", "operation", "outcome", "reason"};
    table.rows.reserve(summary.results.size());
    for (const MacResult& result : summary.results) {
        table.rows.push_back({std::to_string(result.row), std::to_string(result.column),
                              sheet::cellName(result.row, result.column), result.macAddress,
                              std::string(operationName(result.operation)),
                              std::string(outcomeName(result.outcome)), result.reason});
    }
    return table;
}

support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    const ServerSilentQuestion& askWhenSilent, support::Reporter& reporter,
    support::ProgressSink& progress, std::stop_token stop) {
    return runBatch(DeviceOperation::Add, endpoint, batch, askReplace, &askWhenSilent, reporter,
                    progress, std::move(stop));
}

support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  const ServerSilentQuestion& askWhenSilent,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop) {
    return runBatch(DeviceOperation::Delete, endpoint, batch, ReplaceQuestion{}, &askWhenSilent,
                    reporter, progress, std::move(stop));
}

support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    support::Reporter& reporter, support::ProgressSink& progress, std::stop_token stop) {
    return runBatch(DeviceOperation::Add, endpoint, batch, askReplace, nullptr, reporter, progress,
                    std::move(stop));
}

support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop) {
    return runBatch(DeviceOperation::Delete, endpoint, batch, ReplaceQuestion{}, nullptr, reporter,
                    progress, std::move(stop));
}

}  // namespace velquor::provisioning
