// velquor-cli sheet: prints the active sheet of a workbook as it is read, one line per row,
// cells separated by tabs, or only its counts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "cli/command.h"
#include "sheet/sheet_reader.h"

namespace velquor::cli {
namespace {

constexpr const char* kName = "sheet";

// Tabs, line breaks and backslashes inside a cell would break the line-per-row layout.
void appendEscaped(std::string& out, const std::string& text) {
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

int printSheet(const sheet::SheetReader& reader) {
    std::string line;
    for (int row = 1; row <= reader.RowCount(); ++row) {
        line.clear();
        for (int column = 1; column <= reader.ColumnCount(); ++column) {
            if (column > 1) line += '\t';
            appendEscaped(line, reader.CellText(row, column));
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) break;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return failWith(support::makeError(
            support::ErrorCode::Io,
            std::string(kName) + ": cannot write the output: " + std::strerror(errno)));
    }
    return kExitOk;
}

int runSheet(const std::vector<std::string>& args) {
    support::ArgParser parser({}, {"--counts"});
    if (auto parsed = parser.parse(args); !parsed) return usageError(kName, parsed.error().message);
    if (parser.positionals().size() != 1) return usageError(kName, "expected one FILE");
    sheet::SheetReader reader;
    auto opened = reader.Open(parser.positionals()[0]);
    if (!opened) return failWith(opened.error());
    for (const std::string& warning : reader.warnings()) printError("warning: " + warning);
    if (parser.has("--counts")) {
        std::printf("%d %d\n", opened->RowCount, opened->ColumnCount);
        if (std::fflush(stdout) != 0) return kExitFailure;
        return kExitOk;
    }
    return printSheet(reader);
}

}  // namespace

VELQUOR_REGISTER_COMMAND(kName, "sheet FILE [--counts]",
                         "print the active sheet of an .xlsx or .csv file as displayed", runSheet);

}  // namespace velquor::cli
