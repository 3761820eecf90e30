// The CSV form of a report; see csv_writer.h.
#include "report/csv_writer.h"

namespace velquor::report {
namespace {

constexpr std::string_view kFormulaLeads = "=+-@\t\r";

// A formula's lead first, after any number of quotes.
bool needsGuard(std::string_view text) {
    const std::size_t lead = text.find_first_not_of('\'');
    return lead != std::string_view::npos &&
           kFormulaLeads.find(text[lead]) != std::string_view::npos;
}

bool needsQuotes(std::string_view text) {
    return text.find_first_of(",\"\r\n") != std::string_view::npos ||
           (!text.empty() && (text.front() == ' ' || text.back() == ' '));
}

}  // namespace

std::string guardedCell(std::string_view text) {
    std::string cell;
    cell.reserve(text.size() + 1);
    if (needsGuard(text)) cell.push_back('\'');
    cell.append(text);
    return cell;
}

std::string unguardedCell(std::string_view cell) {
    if (cell.size() >= 2 && cell.front() == '\'' && needsGuard(cell.substr(1)))
        cell.remove_prefix(1);
    return std::string(cell);
}

std::string csvField(std::string_view text) {
    const std::string field = guardedCell(text);
    if (!needsQuotes(field)) return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string csvLine(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) line += ',';
        line += csvField(cells[i]);
    }
    line += "\r\n";
    return line;
}

std::string csvText(const ReportTable& table) {
    std::string csv = csvLine(table.header);
    for (const std::vector<std::string>& row : table.rows) csv += csvLine(row);
    return csv;
}

}  // namespace velquor::report
