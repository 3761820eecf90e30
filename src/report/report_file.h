// A report written to the file the user named: an .xlsx name (any case) gets a workbook,
// any other name CSV. Through the atomic writer, so a failed write leaves the old file.
#pragma once

#include <filesystem>
#include <string>

#include "report/report_table.h"
#include "support/atomic_file.h"
#include "support/result.h"

namespace velquor::report {

enum class ReportFormat { Csv, Xlsx };

ReportFormat reportFormatFor(const std::filesystem::path& path);

// The file's bytes in the given form.
support::Result<std::string> reportBytes(const ReportTable& table, ReportFormat format);

// Writes the table to path in the form its name asks for.
support::Status writeReport(const std::filesystem::path& path, const ReportTable& table,
                            const support::OutputOptions& options = {});

}  // namespace velquor::report
