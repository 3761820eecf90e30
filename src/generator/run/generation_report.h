// The per-device results of a generation run as a report, one line per device row, for
// scripts (CSV) and for the user to open in a spreadsheet (.xlsx).
#pragma once

#include "generator/run/generation_job.h"
#include "report/report_table.h"

namespace velquor::generator {

// Header "row,mac,plain_file,encrypted_file,outcome,reason", then one line per device.
report::ReportTable generationReportTable(const GenerationReport& report);

}  // namespace velquor::generator
