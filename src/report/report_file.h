// A report written to the file the user named: an .xlsx name (any case) gets a workbook,
// any other name CSV. Through the atomic writer, so a failed write leaves the old file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "report/report_table.h"
#include "support/atomic_file.h"
#include "support/result.h"

namespace velquor::report {

enum class ReportFormat { Csv, Xlsx };

ReportFormat reportFormatFor(const std::filesystem::path& path);

// A report written a row at a time, for one too long to hold as a table: the file's bytes go
// to the atomic writer's temporary file as the rows come, and only commit puts it in place,
// so a run that fails or stops before it leaves the old file as it was.
class ReportWriter {
public:
    // A workbook of many rows is written as they come, see XlsxStream.
    static support::Result<ReportWriter> create(const std::filesystem::path& path,
                                                const std::vector<std::string>& header,
                                                const support::OutputOptions& options = {});
    ReportWriter(ReportWriter&&) noexcept;
    ReportWriter& operator=(ReportWriter&&) noexcept;
    ~ReportWriter();

    // Each row as long as the header.
    support::Status writeRow(const std::vector<std::string>& cells);
    support::Status commit();

private:
    struct State;
    explicit ReportWriter(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// Writes the table to path in the form its name asks for.
support::Status writeReport(const std::filesystem::path& path, const ReportTable& table,
                            const support::OutputOptions& options = {});

}  // namespace velquor::report
