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
// Only what the retry sends is held, never the report's lines: the report is read again, a
// row at a time, when the retry's results are merged into it.
struct RetryReport {
    std::string path;
    DeviceOperation command = DeviceOperation::Add;  // Add (add and replace rows) or Delete
    std::size_t lines = 0;                           // after the header
    MacFile cells;                                   // the rows worth retrying
    // The failed rows the server had answered for good (the report's retry column says no):
    // how many, and the first few (kMaxFailureMessages) to name. They are not sent again.
    std::size_t keptCount = 0;
    std::vector<MacResult> kept;
};

// Reads the report at path row by row. A CSV cell's leading ' that guarded a formula-like text
// is taken off again. Anything that is not such a report (another header, a row whose row,
// column, operation, outcome or retry is not one the report writes, add and delete rows mixed)
// is an error naming the file and the line. A report written before the retry column had its
// failed, unknown and not sent rows all worth retrying, as it still has.
support::Result<RetryReport> readRetryReport(const std::string& path, std::stop_token stop = {});

// Writes the report again to out, a row at a time through the atomic writer: the retried rows
// replaced by the retry's results (summary of a batch of report.cells, in their order) and
// every other row as it was. The report read again must be the one read for the retry: a
// report changed meanwhile is an error, and out (which may be the report itself) is then left
// as it was.
support::Status writeMergedReport(const RetryReport& report, const DeviceBatchSummary& summary,
                                  const std::string& out, std::stop_token stop = {});

}  // namespace velquor::provisioning
