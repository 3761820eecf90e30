// velquor-cli sheet: prints the active sheet of a workbook as it is read, one line per row,
// cells separated by tabs and each row ending at its last non-empty cell, or only its counts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "sheet/sheet_reader.h"
#include "support/wording.h"

namespace velquor::cli {
namespace {

constexpr const char* kName = "sheet";

// Tabs, line breaks and backslashes inside a cell would break the line-per-row layout.
void appendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
                break;
        }
    }
}

// Each row ends at its last cell that shows something; a TSV reader takes the missing cells
// as empty. Printing the full width would turn a value in XFD1048576 into 17 GB of tabs.
// Output goes out in large pieces, so a sparse sheet of a million rows is a few writes.
class RowPrinter {
public:
    support::Status cell(int row, int column, std::string_view text) {
        for (; m_row < row; ++m_row, m_column = 1) m_pending += '\n';
        for (; m_column < column; ++m_column) m_pending += '\t';
        appendEscaped(m_pending, text);
        return m_pending.size() >= kFlushBytes ? flush() : support::Status();
    }

    // Ends the last row and prints the empty rows up to rowCount.
    support::Status finish(int rowCount) {
        for (; m_row <= rowCount; ++m_row) m_pending += '\n';
        if (auto status = flush(); !status) return status;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) return writeError();
        return {};
    }

private:
    static constexpr std::size_t kFlushBytes = 1 << 16;

    support::Status flush() {
        if (std::fwrite(m_pending.data(), 1, m_pending.size(), stdout) != m_pending.size()) {
            return writeError();
        }
        m_pending.clear();
        return {};
    }

    static support::Error writeError() {
        return support::makeError(
            support::ErrorCode::Io,
            std::string(kName) + ": cannot write the output: " + std::strerror(errno));
    }

    std::string m_pending;
    int m_row = 1;
    int m_column = 1;
};

int printSheet(const sheet::SheetReader& reader) {
    RowPrinter printer;
    auto walked = reader.forEachCell(
        [&](int row, int column, std::string_view text) { return printer.cell(row, column, text); },
        interruptToken());
    if (!walked) return failWith(walked.error());
    if (auto finished = printer.finish(reader.RowCount()); !finished)
        return failWith(finished.error());
    return kExitOk;
}

int runSheet(const std::vector<std::string>& args) {
    support::ArgParser parser({}, {"--counts"});
    if (auto parsed = parser.parse(args); !parsed) return usageError(kName, parsed.error().message);
    if (parser.positionals().size() != 1) return usageError(kName, "expected one FILE");
    sheet::SheetReader reader;
    auto opened = reader.Open(parser.positionals()[0], interruptToken());
    if (!opened) return failWith(opened.error());
    for (const std::string& warning : reader.warnings()) printError("warning: " + warning);
    if (parser.has("--counts")) {
        const std::string counts =
            support::plural(static_cast<std::size_t>(opened->RowCount), "row", "rows") + ", " +
            support::plural(static_cast<std::size_t>(opened->ColumnCount), "column", "columns");
        std::printf("%s\n", counts.c_str());
        if (std::fflush(stdout) != 0) return kExitFailure;
        return kExitOk;
    }
    return printSheet(reader);
}

}  // namespace

VELQUOR_REGISTER_COMMAND(kName,
                         "sheet FILE [--counts]\n"
                         "  Prints the active sheet of FILE (.xlsx or .csv) as the spreadsheet\n"
                         "  shows it: one line per row, cells separated by tabs. --counts prints\n"
                         "  only the used range, as \"N rows, M columns\".",
                         "print the active sheet of an .xlsx or .csv file as displayed", runSheet);

}  // namespace velquor::cli
