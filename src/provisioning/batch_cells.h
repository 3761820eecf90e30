// Where a device batch's MAC addresses come from when not from a MAC file: addresses typed or
// pasted in, the rows of a finished batch to send again, or the rows of an earlier report.
// Each gives a MacFile for DeviceBatch::cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "provisioning/batch_sender.h"
#include "provisioning/kesto_operations.h"
#include "provisioning/mac_cells.h"
#include "provisioning/mac_file.h"
#include "report/report_file.h"
#include "report/report_table.h"
#include "support/result.h"

namespace velquor::provisioning {

// The MAC addresses in text typed or pasted by a person: separated by white space (spaces,
// tabs, line breaks), commas or semicolons. They are numbered rows 1..n of column 1 in their
// order; nothing is taken for a header, so a typed "MAC" is refused as not a MAC address when
// the batch checks the cells. Text with no address in it gives no cells.
MacFile parseTypedMacs(std::string_view text);

// Whether a row ending so is sent again by a retry: Failed, Unknown and NotSent.
bool worthRetrying(MacOutcome outcome);
// Whether sending the row again can change it: one worth retrying that the server did not
// answer for good.
bool worthRetrying(const MacResult& result);

// The rows of a finished batch worth retrying, each under its own row and column, in the
// batch's order.
MacFile retryCells(const DeviceBatchSummary& summary);

// The first run with the rows a retry of it sent (matched by row and column) replaced by the
// retry's outcome; how the retry ended (cancelled, stopped) is the whole's.
DeviceBatchSummary mergeRetried(DeviceBatchSummary first, const DeviceBatchSummary& retry);

// An earlier batch's report (resultsTable, written as CSV or .xlsx) read back for a retry.
// Neither its lines nor its rows to send are held: the report is read again, a row at a time,
// while the retry sends its rows and writes the merged report (retryReport).
struct RetryReport {
    std::string path;
    DeviceOperation command = DeviceOperation::Add;  // Add (add and replace rows) or Delete
    std::size_t lines = 0;                           // after the header
    std::size_t retried = 0;  // the rows worth retrying, each sent again unless refused or a repeat
    std::size_t toSend = 0;   // of those, the MAC addresses the retry sends
    bool oneColumn = true;    // the rows retried are all of one column
    // The failed rows the server had answered for good (the report's retry column says no):
    // how many, and the first few (kMaxFailureMessages) to name. They are not sent again.
    std::size_t keptCount = 0;
    std::vector<MacResult> kept;
    // What the report's lines came to, and its size and time as read, for telling a report
    // changed before it is read again.
    std::uint64_t fingerprint = 0;
    std::uintmax_t bytes = 0;
    std::filesystem::file_time_type modified{};
};

// Reads the report at path row by row, and checks the MAC addresses it would send again as the
// batch will (form: the batch's mac-form): one written longer than its field is an error. A CSV
// cell's leading ' that guarded a formula-like text is taken off again. Anything that is not
// such a report (another header, a row whose row, column, operation, outcome or retry is not
// one the report writes, add and delete rows mixed) is an error naming the file and the line. A
// report written before the retry column had its failed, unknown and not sent rows all worth
// retrying, as it still has.
support::Result<RetryReport> readRetryReport(const std::string& path,
                                             mac::Form form = mac::kDefaultForm,
                                             std::stop_token stop = {});

// The check of the report's rows to send, its table of addresses sized for them.
MacCellCheck retryCheck(const RetryReport& report, mac::Form form);

// The report read again for its retry, a line at a time, each offered in the report's order: a
// row worth retrying checked by check (retryCheck) as the batch checks its cells (to send, or
// refused, or a repeat of an earlier one), every other line to pass on as it was. A report that
// is no longer the one readRetryReport read is an error: one rewritten meanwhile before a line
// is offered, one edited in place (same size and time) once its lines are read, when those
// offered before may have been sent.
support::Status walkRetryRows(const RetryReport& report, MacCellCheck& check,
                              const std::function<support::Status(BatchRow)>& offer);

// The merged report as the retry's rows come: the retried rows' results in place of their
// lines, every other line as it was, a row at a time through the atomic writer, so a retry
// that fails leaves out (which may be the report itself) as it was.
class MergedReport {
public:
    static support::Result<MergedReport> create(const std::string& out);
    support::Status write(const BatchRow& row);
    support::Status commit() { return m_writer.commit(); }

private:
    explicit MergedReport(report::ReportWriter writer) : m_writer(std::move(writer)) {}
    report::ReportWriter m_writer;
};

// Sends the rows of report again (as addDevices or deleteDevices, by the report's command), and
// when out is not empty writes the merged report there as the results come. No row is held
// beyond the sender's window: the summary counts the rows retried (DeviceBatchSummary::counted)
// and holds none. Reports as addDevices does; a report changed meanwhile or an output that
// cannot be written is an error, reported, and out is then left as it was.
support::Result<DeviceBatchSummary> retryReport(
    const KestoEndpoint& endpoint, const DeviceBatch& batch, const RetryReport& report,
    const std::string& out, const ReplaceQuestion& askReplace,
    const ServerSilentQuestion& askWhenSilent, support::Reporter& reporter,
    support::ProgressSink& progress, std::stop_token stop,
    const LoginEndedQuestion& askLoginEnded = {});

}  // namespace velquor::provisioning
