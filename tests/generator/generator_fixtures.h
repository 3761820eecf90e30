// Shared fixtures of the generator tests: a realistic template, device sheets written as
// .csv or as .xlsx (through python3-openpyxl), and reading values back out of saved XML.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velquor::generator::test {

using Rows = std::vector<std::vector<std::string>>;

// A phone configuration: Ext1 with the three account sections, a comment, a processing
// instruction, CDATA and settings the generator must leave alone.
extern const char* const kTemplate;

// The seven-column header row and n device rows "00112233440<i>", "Name <i>", ...
Rows deviceSheet(int devices);

std::string csvText(const Rows& rows);
void writeCsv(const std::filesystem::path& path, const Rows& rows);
// Cells that are plain numbers (no leading zero) become numeric cells, the rest text.
void writeXlsx(const std::filesystem::path& path, const Rows& rows);

// The text of the first node an XPath expression selects in an XML file or text
// (nullopt when nothing matches); attributes give their value.
std::optional<std::string> xpathText(const std::string& xml, const std::string& expression);
std::optional<std::string> xpathInFile(const std::filesystem::path& file,
                                       const std::string& expression);
int xpathCount(const std::string& xml, const std::string& expression);

// Every regular file below folder but the runs' MD5SUMS lists, as paths relative to it, sorted.
std::vector<std::string> filesBelow(const std::filesystem::path& folder);

}  // namespace velquor::generator::test
