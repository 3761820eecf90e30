// The CSV form of a report; see csv_writer.h.
#include "report/csv_writer.h"

namespace velquor::report {
namespace {

constexpr std::string_view kFormulaLeads = "=+-@\t\r";

bool needsQuotes(std::string_view text) {
    return text.find_first_of(",\"\r\n") != std::string_view::npos ||
           (!text.empty() && (text.front() == ' ' || text.back() == ' '));
}

void appendLine(std::string& csv, const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) csv += ',';
        csv += csvField(cells[i]);
    }
    csv += "\r\n";
}

}  // namespace

std::string csvField(std::string_view text) {
    std::string field;
    if (!text.empty() && kFormulaLeads.find(text.front()) != std::string_view::npos) field = "'";
    field += text;
    if (!needsQuotes(field)) return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string csvText(const ReportTable& table) {
    std::string csv;
    appendLine(csv, table.header);
    for (const std::vector<std::string>& row : table.rows) appendLine(csv, row);
    return csv;
}

}  // namespace velquor::report
