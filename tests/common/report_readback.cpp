// Report files read back through Python; see report_readback.h.
#include "report_readback.h"

#include <sstream>

#include "temp_dir.h"

namespace velquor::testing {
namespace {

std::string scriptPath(const char* name) {
    return std::string(VELQUOR_TEST_COMMON_DIR) + "/" + name;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace

const WorkbookCell* WorkbookReadback::at(int row, int column) const {
    for (const WorkbookCell& cell : cells) {
        if (cell.row == row && cell.column == column) return &cell;
    }
    return nullptr;
}

WorkbookReadback readWorkbook(const std::filesystem::path& file) {
    WorkbookReadback book;
    int status = -1;
    book.output = runCommand("/usr/bin/python3 " + shellQuote(scriptPath("read_xlsx.py")) + " " +
                                 shellQuote(file.string()) + " 2>&1",
                             &status);
    book.ok = status == 0;
    std::istringstream lines(book.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "cell") {
            WorkbookCell cell;
            std::string type;
            std::string hex;
            words >> cell.row >> cell.column >> type >> hex;
            cell.type = type.empty() ? '?' : type[0];
            cell.text = fromHex(hex);
            book.cells.push_back(cell);
        } else if (kind == "bold") {
            std::pair<int, int> at;
            words >> at.first >> at.second;
            book.boldCells.push_back(at);
        } else if (kind == "freeze") {
            words >> book.frozenAt;
        } else if (kind == "filter") {
            words >> book.filter;
        }
    }
    return book;
}

std::vector<std::vector<std::string>> readCsvRows(const std::filesystem::path& file) {
    int status = -1;
    const std::string output =
        runCommand("/usr/bin/python3 " + shellQuote(scriptPath("read_csv.py")) + " " +
                       shellQuote(file.string()),
                   &status);
    std::vector<std::vector<std::string>> rows;
    if (status != 0) return rows;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "rows") break;
        std::size_t column = 0;
        std::string hex;
        words >> column >> hex;
        const auto row = static_cast<std::size_t>(std::stoul(first));
        if (rows.size() < row) rows.resize(row);
        if (rows[row - 1].size() < column) rows[row - 1].resize(column);
        rows[row - 1][column - 1] = fromHex(hex);
    }
    return rows;
}

}  // namespace velquor::testing
