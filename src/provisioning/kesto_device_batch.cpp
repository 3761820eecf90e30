// The bulk device commands: every filled cell of a MAC file read and checked, then one device
// request for each usable MAC address (sent by batch_sender), and the closing summary.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <numeric>
#include <utility>

#include "mac/mac_check.h"
#include "provisioning/batch_cells.h"
#include "provisioning/batch_sender.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/mac_file.h"
#include "sheet/cell_name.h"
#include "wire/server_text.h"
#include "wire/wire_records.h"

namespace velquor::provisioning {

using support::ErrorCode;
using support::makeError;

namespace {

// Every text is checked before the first request: a batch refused halfway through would leave
// the server with part of the file.
support::Status checkFieldLengths(const CheckedMacFile& file, const DeviceBatch& batch) {
    if (auto texts = checkBatchTexts(batch); !texts) return texts;
    std::size_t sent = 0;
    for (const MacResult& cell : file.results) {
        if (cell.outcome != MacOutcome::NotSent) continue;
        const std::string& written = file.written[sent++];
        if (written.size() > wire::kTextFieldWidth) {
            return writtenTooLong(cell, written, batch.cells ? std::string() : batch.macFilePath);
        }
    }
    return {};
}

// The batch's own cells, or the MAC file's.
support::Result<MacFile> cellsOf(const DeviceBatch& batch, const std::stop_token& stop) {
    if (!batch.cells) {
        auto file = readMacFile(batch.macFilePath, stop);
        if (!file || batch.macColumn == 0) return file;
        return sheetColumn(*file, batch.macColumn);
    }
    if (batch.cells->cells.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core", "No MAC address was given."), {}});
    }
    return *batch.cells;
}

// The file read and checked; an error (reported by the caller) when it cannot be read, is no
// MAC file and force is not set, or holds a text too long for its field. MAC addresses given
// as cells are not a file chosen by mistake: each that is not a MAC address is refused alone.
support::Result<CheckedMacFile> readAndCheck(DeviceOperation command, const DeviceBatch& batch,
                                             const std::stop_token& stop, std::size_t& emptyCells) {
    auto file = cellsOf(batch, stop);
    if (!file) return file.error();
    emptyCells = file->emptyCells;
    CheckedMacFile checked = checkMacCells(std::move(*file), command, batch.macForm);
    if (support::Phrase notMacFile = notAMacFileReason(batch.macFilePath, checked);
        !batch.cells && !notMacFile.empty() && !batch.force) {
        return makeError(ErrorCode::InvalidInput, std::move(notMacFile));
    }
    if (auto lengths = checkFieldLengths(checked, batch); !lengths) return lengths.error();
    return checked;
}

// The checked rows through the sender, each back in its own place once done: a batch of a
// million rows holds each row once.
void sendChecked(const BatchRun& run, CheckedMacFile& checked, DeviceBatchSummary& summary) {
    std::vector<MacResult>& rows = checked.results;
    std::size_t done = 0;
    BatchSender sender(run, checked.written.size(), summary, [&rows, &done](BatchRow& row) {
        rows[done++] = std::move(row.result);
        return support::Status{};
    });
    std::size_t next = 0;
    for (MacResult& result : rows) {
        BatchRow row;
        row.result = std::move(result);
        if (row.result.outcome == MacOutcome::NotSent) {
            row.result.written = std::move(checked.written[next]);
            row.rewritten = checked.rewritten[next++];
        }
        // The sink above takes every row.
        (void)sender.offer(std::move(row));
    }
    (void)sender.finish();
    checked.written = {};
    summary.results = std::move(rows);
}

support::Result<DeviceBatchSummary> runBatch(
    DeviceOperation command, const KestoEndpoint& endpoint, const DeviceBatch& batch,
    const ReplaceQuestion& askReplace, const BatchQuestions& questions, support::Reporter& reporter,
    support::ProgressSink& progress, std::stop_token stop) {
    const std::string_view caption = batchCaption(command);
    std::size_t emptyCells = 0;
    auto checked = readAndCheck(command, batch, stop, emptyCells);
    if (!checked) {
        // A stop asked for by the user needs no message of its own.
        if (checked.error().code != ErrorCode::Cancelled)
            reporter.report(checked.error().message, caption);
        return checked.error();
    }

    DeviceBatchSummary summary;
    summary.command = command;
    summary.emptyCells = emptyCells;
    summary.mixedCase = checked->mixedCase;

    progress.progress(0, checked->written.size(), caption);
    sendChecked(BatchRun{endpoint, batch, askReplace, questions, reporter, progress, stop},
                *checked, summary);
    reportBatchEnd(summary, reporter);
    return summary;
}

}  // namespace

void RowCounts::add(const MacResult& row) {
    if (row.header) return;
    ++outcomes[static_cast<std::size_t>(row.outcome)];
    if (row.outcome == MacOutcome::Failed && failedMacAddresses.size() < kMaxListedFailures)
        failedMacAddresses.push_back(row.macAddress);
}

std::size_t DeviceBatchSummary::count(MacOutcome outcome) const {
    return counted.outcomes[static_cast<std::size_t>(outcome)] +
           static_cast<std::size_t>(
               std::count_if(results.begin(), results.end(), [outcome](const MacResult& result) {
                   return result.outcome == outcome && !result.header;
               }));
}

std::size_t DeviceBatchSummary::macCells() const {
    return std::accumulate(counted.outcomes.begin(), counted.outcomes.end(), std::size_t{0}) +
           static_cast<std::size_t>(
               std::count_if(results.begin(), results.end(),
                             [](const MacResult& result) { return !result.header; }));
}

std::vector<std::string> DeviceBatchSummary::failedMacAddresses() const {
    std::vector<std::string> failed;
    for (const MacResult& result : results) {
        if (result.outcome == MacOutcome::Failed) failed.push_back(result.macAddress);
    }
    failed.insert(failed.end(), counted.failedMacAddresses.begin(),
                  counted.failedMacAddresses.end());
    return failed;
}

bool DeviceBatchSummary::succeeded() const {
    return !cancelled && serverNotAnswering.empty() && !loginEnded &&
           count(MacOutcome::Failed) == 0 && count(MacOutcome::NotSent) == 0 &&
           count(MacOutcome::Unknown) == 0 && count(MacOutcome::Refused) == 0;
}

bool DeviceBatchSummary::complete() const {
    return succeeded() && emptyCells == 0 && count(MacOutcome::Declined) == 0 &&
           count(MacOutcome::Skipped) == 0 && !mixedCase;
}

support::Result<DeviceBatchSummary> checkMacFile(DeviceOperation command, const DeviceBatch& batch,
                                                 std::stop_token stop) {
    std::size_t emptyCells = 0;
    auto checked = readAndCheck(command, batch, stop, emptyCells);
    if (!checked) return checked.error();
    DeviceBatchSummary summary;
    summary.command = command;
    summary.emptyCells = emptyCells;
    summary.mixedCase = checked->mixedCase;
    std::size_t next = 0;
    for (MacResult& result : checked->results) {
        if (result.outcome != MacOutcome::NotSent) continue;
        result.outcome = MacOutcome::Usable;
        if (checked->rewritten[next])
            result.setReason(mac::writtenAsPhrase(checked->written[next]));
        ++next;
    }
    summary.results = std::move(checked->results);
    return summary;
}

support::Phrase serverTextWarningPhrase(std::string_view server) {
    if (mac::trimWhiteSpace(server).empty()) {
        return support::Phrase{
            VELQUOR_TR_NOOP("core", "the Server text is empty: the phones will be sent nowhere"),
            {}};
    }
    const std::size_t scheme = server.find("://");
    const bool schemeOk =
        scheme != std::string_view::npos && scheme > 0 &&
        std::isalpha(static_cast<unsigned char>(server.front())) &&
        std::all_of(server.begin(), server.begin() + static_cast<std::ptrdiff_t>(scheme),
                    [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' ||
                               c == '-' || c == '.';
                    });
    const std::string_view rest = schemeOk ? server.substr(scheme + 3) : std::string_view();
    const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    if (schemeOk && !host.empty() && host.find(' ') == std::string_view::npos) return {};
    // A password in the text is not repeated in the warning.
    const std::string text = wire::maskedServerText(server);
    const std::string_view name = schemeOk ? host : server.substr(0, server.find('/'));
    //: %1 is the Server text, %2 a host name for the example URL
    return support::Phrase{
        VELQUOR_TR_NOOP("core", "'%1' is not a URL: phones expect one such as https://%2/"),
        {text, name.empty() || name.find(' ') != std::string_view::npos
                   ? std::string("prov.example")
                   : std::string(name)}};
}

std::string serverTextWarning(std::string_view server) {
    return serverTextWarningPhrase(server).english();
}

support::Phrase batchHeadline(const DeviceBatchSummary& summary) {
    using support::Phrase;
    const bool deleting = summary.command == DeviceOperation::Delete;
    if (summary.cancelled) {
        return Phrase{deleting ? VELQUOR_TR_NOOP("core", "Delete device was cancelled.")
                               : VELQUOR_TR_NOOP("core", "Add device was cancelled."),
                      {}};
    }
    if (!summary.serverNotAnswering.empty()) {
        //: %1 is why the last request failed
        return support::withReason(
            Phrase{deleting
                       ? VELQUOR_TR_NOOP("core",
                                         "Delete device stopped: the server is not answering (%1).")
                       : VELQUOR_TR_NOOP("core",
                                         "Add device stopped: the server is not answering (%1)."),
                   {}},
            summary.serverNotAnswering, summary.serverNotAnsweringPhrase);
    }
    if (summary.loginEnded) {
        return Phrase{deleting ? VELQUOR_TR_NOOP("core",
                                                 "Delete device stopped: the login has ended (the "
                                                 "server refused the requests as not logged in).")
                               : VELQUOR_TR_NOOP("core",
                                                 "Add device stopped: the login has ended (the "
                                                 "server refused the requests as not logged in)."),
                      {}};
    }
    const std::size_t refused = summary.count(MacOutcome::Refused);
    if (refused > 0 && summary.count(MacOutcome::Failed) == 0 &&
        summary.count(MacOutcome::NotSent) == 0 && summary.count(MacOutcome::Unknown) == 0) {
        // Every device of the file was done: that comes first, then the cells that were none.
        if (refused == 1) {
            return Phrase{deleting ? VELQUOR_TR_NOOP("core",
                                                     "Every device was deleted; 1 cell was "
                                                     "refused (not a MAC address).")
                                   : VELQUOR_TR_NOOP("core",
                                                     "Every device was added; 1 cell was refused "
                                                     "(not a MAC address)."),
                          {}};
        }
        //: %1 is how many cells were refused (two or more)
        return Phrase{deleting ? VELQUOR_TR_NOOP("core",
                                                 "Every device was deleted; %1 cells were "
                                                 "refused (not MAC addresses).")
                               : VELQUOR_TR_NOOP("core",
                                                 "Every device was added; %1 cells were refused "
                                                 "(not MAC addresses)."),
                      {std::to_string(refused)}};
    }
    if (!summary.succeeded()) {
        return Phrase{deleting ? VELQUOR_TR_NOOP("core", "Not every device was deleted.")
                               : VELQUOR_TR_NOOP("core", "Not every device was added."),
                      {}};
    }
    return Phrase{deleting ? VELQUOR_TR_NOOP("core", "Delete device finished.")
                           : VELQUOR_TR_NOOP("core", "Add device finished."),
                  {}};
}

std::string describeSummary(const DeviceBatchSummary& summary) {
    const bool deleting = summary.command == DeviceOperation::Delete;
    std::string text = batchHeadline(summary).english() + "\n";
    auto line = [&text](std::string_view label, std::size_t count) {
        text += std::string(label) + ": " + std::to_string(count) + "\n";
    };
    if (deleting) {
        line("Deleted", summary.count(MacOutcome::Deleted));
    } else {
        line("Added", summary.count(MacOutcome::Added));
        line("Replaced", summary.count(MacOutcome::Replaced));
        line("Not replaced (already registered)", summary.count(MacOutcome::Declined));
    }
    line("Failed", summary.count(MacOutcome::Failed));
    if (const auto refused = summary.count(MacOutcome::Refused); refused > 0) {
        line("Refused (not MAC addresses, not sent)", refused);
    }
    if (const auto skipped = summary.count(MacOutcome::Skipped); skipped > 0) {
        line("Skipped (repeated MAC, not sent)", skipped);
    }
    if (const auto unknown = summary.count(MacOutcome::Unknown); unknown > 0) {
        line("Unknown (sent, no reply)", unknown);
    }
    line("Empty cells (nothing to send)", summary.emptyCells);
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
        if (const std::size_t all = summary.count(MacOutcome::Failed); all > listed) {
            text += " and " + std::to_string(all - listed) + " more";
        }
        text += "\n";
    }
    if (summary.mixedCase) text += mac::mixedCaseText() + "\n";
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
            return VELQUOR_TR_NOOP("core", "not replaced");
        case MacOutcome::Deleted:
            return VELQUOR_TR_NOOP("core", "deleted");
        case MacOutcome::Failed:
            return VELQUOR_TR_NOOP("core", "failed");
        case MacOutcome::NotSent:
            return VELQUOR_TR_NOOP("core", "not sent");
        case MacOutcome::Unknown:
            return VELQUOR_TR_NOOP("core", "unknown (sent, no reply)");
        case MacOutcome::Refused:
            return VELQUOR_TR_NOOP("core", "refused");
        case MacOutcome::Skipped:
            return VELQUOR_TR_NOOP("core", "skipped");
        case MacOutcome::Usable:
            return VELQUOR_TR_NOOP("core", "usable");
    }
    return VELQUOR_TR_NOOP("core", "failed");
}

std::vector<std::string> resultsHeader() {
    return {"row", "column", "cell", "mac", "operation", "outcome", "reason", "retry"};
}

std::vector<std::string> resultCells(const MacResult& result) {
    const char* retry = worthRetrying(result) ? "yes" : worthRetrying(result.outcome) ? "no" : "";
    return {std::to_string(result.row),
            std::to_string(result.column),
            sheet::cellName(result.row, result.column),
            result.macAddress,
            std::string(operationName(result.operation)),
            std::string(outcomeName(result.outcome)),
            result.reason,
            retry};
}

report::ReportTable resultsTable(const DeviceBatchSummary& summary) {
    report::ReportTable table;
    table.header = resultsHeader();
    table.rows.reserve(summary.results.size());
    for (const MacResult& result : summary.results) table.rows.push_back(resultCells(result));
    return table;
}

support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    const ServerSilentQuestion& askWhenSilent, support::Reporter& reporter,
    support::ProgressSink& progress, std::stop_token stop,
    const LoginEndedQuestion& askLoginEnded) {
    return runBatch(DeviceOperation::Add, endpoint, batch, askReplace,
                    {&askWhenSilent, &askLoginEnded}, reporter, progress, std::move(stop));
}

support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  const ServerSilentQuestion& askWhenSilent,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop,
                                                  const LoginEndedQuestion& askLoginEnded) {
    return runBatch(DeviceOperation::Delete, endpoint, batch, ReplaceQuestion{},
                    {&askWhenSilent, &askLoginEnded}, reporter, progress, std::move(stop));
}

support::Result<DeviceBatchSummary> addDevices(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const ReplaceQuestion& askReplace,
    support::Reporter& reporter, support::ProgressSink& progress, std::stop_token stop) {
    return runBatch(DeviceOperation::Add, endpoint, batch, askReplace, {}, reporter, progress,
                    std::move(stop));
}

support::Result<DeviceBatchSummary> deleteDevices(const KestoEndpoint& endpoint,
                                                  const DeviceBatch& batch,
                                                  support::Reporter& reporter,
                                                  support::ProgressSink& progress,
                                                  std::stop_token stop) {
    return runBatch(DeviceOperation::Delete, endpoint, batch, ReplaceQuestion{}, {}, reporter,
                    progress, std::move(stop));
}

}  // namespace velquor::provisioning
