// Where a device batch's MAC addresses come from when not from a MAC file: addresses typed or
// pasted in, the rows of a finished batch to send again, or the rows of an earlier report.
// Each gives a MacFile for DeviceBatch::cells.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "provisioning/kesto_operations.h"
#include "provisioning/mac_cells.h"
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
struct RetryReport {
    DeviceOperation command = DeviceOperation::Add;  // Add (add and replace rows) or Delete
    report::ReportTable table;                       // the report as it was read
    MacFile cells;                                   // the rows worth retrying
    std::vector<std::size_t> retried;                // their indices in table.rows
};

// Reads the report at path. A CSV cell's leading ' that guarded a formula-like text is taken
// off again. Anything that is not such a report (another header, a row whose row, column,
// operation or outcome is not one the report writes, add and delete rows mixed) is an error
// naming the file and the line.
support::Result<RetryReport> readRetryReport(const std::string& path, std::stop_token stop = {});

// The report again, with the retried rows replaced by the retry's results (summary of a batch
// of report.cells) and every other row as it was.
report::ReportTable mergeRetry(const RetryReport& report, const DeviceBatchSummary& summary);

}  // namespace velquor::provisioning
