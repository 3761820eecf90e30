// Choosing a report's form by its file name, and writing it; see report_file.h.
#include "report/report_file.h"

#include <algorithm>
#include <cctype>
#include <span>

#include "report/csv_writer.h"
#include "report/xlsx_writer.h"

namespace velquor::report {

ReportFormat reportFormatFor(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".xlsx" ? ReportFormat::Xlsx : ReportFormat::Csv;
}

support::Result<std::string> reportBytes(const ReportTable& table, ReportFormat format) {
    if (format == ReportFormat::Xlsx) return xlsxBytes(table);
    return csvText(table);
}

support::Status writeReport(const std::filesystem::path& path, const ReportTable& table,
                            const support::OutputOptions& options) {
    const support::Result<std::string> bytes = reportBytes(table, reportFormatFor(path));
    if (!bytes) return bytes.error();
    return support::writeFileAtomically(
        path, std::as_bytes(std::span<const char>(bytes->data(), bytes->size())), options);
}

}  // namespace velquor::report
