// The .xlsx form of a report, for people who open it in a spreadsheet: every cell a text cell
// (a MAC keeps its leading zeros and its digits, nothing is ever a formula or a number), the
// header row bold and frozen, with a filter over the table.
#pragma once

#include <string>

#include "report/report_table.h"
#include "support/result.h"

namespace velquor::report {

// The workbook's bytes. Text that is not UTF-8 has each stray byte replaced by U+FFFD, since a
// workbook cannot hold it; a cell past the 32,767 bytes a spreadsheet cell holds is cut there.
support::Result<std::string> xlsxBytes(const ReportTable& table);

}  // namespace velquor::report
