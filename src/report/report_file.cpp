// Choosing a report's form by its file name, and writing it; see report_file.h.
#include "report/report_file.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "report/csv_writer.h"
#include "report/xlsx_writer.h"

namespace velquor::report {
namespace {

// CSV lines are gathered to this many bytes before they are written.
constexpr std::size_t kCsvBufferBytes = std::size_t{1} << 20;

}  // namespace

ReportFormat reportFormatFor(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".xlsx" ? ReportFormat::Xlsx : ReportFormat::Csv;
}

struct ReportWriter::State {
    support::AtomicOutputFile output;
    std::optional<XlsxStream> workbook;  // none for CSV
    std::string csv;                     // CSV lines not yet written

    support::Status flushCsv() {
        auto written = output.write(csv.data(), csv.size());
        csv.clear();
        return written;
    }
};

ReportWriter::ReportWriter(std::unique_ptr<State> state) : m_state(std::move(state)) {}
ReportWriter::ReportWriter(ReportWriter&&) noexcept = default;
ReportWriter& ReportWriter::operator=(ReportWriter&&) noexcept = default;
ReportWriter::~ReportWriter() = default;

support::Result<ReportWriter> ReportWriter::create(const std::filesystem::path& path,
                                                   const std::vector<std::string>& header,
                                                   const support::OutputOptions& options) {
    auto output = support::AtomicOutputFile::create(path, options);
    if (!output) return output.error();
    auto state = std::make_unique<State>(State{std::move(*output), std::nullopt, std::string()});
    if (reportFormatFor(path) == ReportFormat::Xlsx) {
        auto workbook = XlsxStream::start(header);
        if (!workbook) return workbook.error();
        state->workbook = std::move(*workbook);
    } else {
        state->csv = csvLine(header);
    }
    return ReportWriter(std::move(state));
}

support::Status ReportWriter::writeRow(const std::vector<std::string>& cells) {
    if (m_state->workbook) return m_state->workbook->writeRow(cells);
    m_state->csv += csvLine(cells);
    if (m_state->csv.size() < kCsvBufferBytes) return {};
    return m_state->flushCsv();
}

support::Status ReportWriter::commit() {
    State& state = *m_state;
    auto finished = state.workbook ? state.workbook->finish([&](std::string_view bytes) {
        return state.output.write(bytes.data(), bytes.size());
    })
                                   : state.flushCsv();
    if (!finished) return finished;
    return state.output.commit();
}

support::Status writeReport(const std::filesystem::path& path, const ReportTable& table,
                            const support::OutputOptions& options) {
    auto writer = ReportWriter::create(path, table.header, options);
    if (!writer) return writer.error();
    for (const std::vector<std::string>& row : table.rows) {
        if (auto written = writer->writeRow(row); !written) return written;
    }
    return writer->commit();
}

}  // namespace velquor::report
