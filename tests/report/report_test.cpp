// The report writers against the readers people open reports with: the CSV through Python's
// RFC 4180 reader, the .xlsx through python3-openpyxl, with the cells a spreadsheet would
// mangle or run (MACs with leading zeros or an E, formula-like texts, quotes, line breaks).
#include <gtest/gtest.h>

#include <filesystem>

#include "report/csv_writer.h"
#include "report/report_file.h"
#include "report/xlsx_writer.h"
#include "report_readback.h"
#include "sheet/sheet_reader.h"
#include "sheet/zip_archive.h"
#include "temp_dir.h"

namespace velquor::report {
namespace {

using testing::readCsvRows;
using testing::readFile;
using testing::readWorkbook;
using testing::TempDir;
using testing::writeFile;

// Cells a spreadsheet turns into numbers, dates or live formulas, and texts CSV must quote.
const std::vector<std::string> kAwkwardCells = {
    "001122334455", "0011223344E5", "=1+2",       "+A1",
    "-2",           "@SUM(1)",      "\tTab-led",  "\rCR-led",
    "say \"hi\"",   "a,b",          "two\nlines", " padded ",
    "Grüße 日本",   "3/4",          "1e5",        "=HYPERLINK(\"http://x\",\"y\")",
    "_x0041_",      "a_x000D_b"};

ReportTable awkwardTable() {
    ReportTable table;
    table.header = {"row", "mac", "reason"};
    int row = 2;
    for (const std::string& cell : kAwkwardCells) {
        table.rows.push_back({std::to_string(row++), cell, "why: " + cell});
    }
    return table;
}

bool startsFormula(const std::string& text) {
    return !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string::npos;
}

TEST(CsvWriter, QuotesGuardsAndEndsEveryLineWithCrLf) {
    EXPECT_EQ(csvField("plain"), "plain");
    EXPECT_EQ(csvField("a,\"b\""), "\"a,\"\"b\"\"\"");
    EXPECT_EQ(csvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(csvField(" lead"), "\" lead\"");
    EXPECT_EQ(csvField("=1+2"), "'=1+2");
    EXPECT_EQ(csvField("+A1"), "'+A1");
    EXPECT_EQ(csvField("-2"), "'-2");
    EXPECT_EQ(csvField("@SUM(1)"), "'@SUM(1)");
    EXPECT_EQ(csvField("\tx"), "'\tx");
    EXPECT_EQ(csvField("\rx"), "\"'\rx\"");
    EXPECT_EQ(csvField("a=b"), "a=b") << "only a leading sign is a formula";
    EXPECT_EQ(csvField(""), "");
    // A quote of the cell's own stays; before a formula's lead it takes one more, so that
    // reading back takes off only the quote the writer put there.
    EXPECT_EQ(csvField("'abc"), "'abc");
    EXPECT_EQ(csvField("'=1"), "''=1");
    for (const std::string cell : {"'abc", "'=1", "''-2", "=1", "'", "''", "x'=", ""}) {
        EXPECT_EQ(unguardedCell(guardedCell(cell)), cell);
    }

    ReportTable table{{"row", "mac"}, {{"2", "001122334455"}, {"3", "x\ny"}}};
    EXPECT_EQ(csvText(table), "row,mac\r\n2,001122334455\r\n3,\"x\ny\"\r\n");
}

TEST(CsvWriter, PythonReadsBackEveryCellWithOnlyTheGuardAdded) {
    TempDir dir;
    const ReportTable table = awkwardTable();
    ASSERT_TRUE(writeReport(dir / "report.csv", table).ok());
    const std::string bytes = readFile(dir / "report.csv");
    EXPECT_EQ(bytes.find("\n"), bytes.find("\r\n") + 1) << "lines end in CRLF";

    const auto rows = readCsvRows(dir / "report.csv");
    ASSERT_EQ(rows.size(), table.rows.size() + 1);
    EXPECT_EQ(rows[0], table.header);
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const std::string& cell = table.rows[i][1];
        EXPECT_EQ(rows[i + 1][1], startsFormula(cell) ? "'" + cell : cell) << "row " << i + 2;
        EXPECT_EQ(rows[i + 1][2], table.rows[i][2]);
    }
}

TEST(XlsxWriter, OpenpyxlSeesEveryCellAsTheTextWrittenAndNoFormula) {
    TempDir dir;
    const ReportTable table = awkwardTable();
    ASSERT_TRUE(writeReport(dir / "report.XLSX", table).ok()) << "the extension in any case";
    EXPECT_TRUE(readFile(dir / "report.XLSX").starts_with("PK\x03\x04"));

    const auto book = readWorkbook(dir / "report.XLSX");
    ASSERT_TRUE(book.ok) << book.output;
    for (int column = 1; column <= 3; ++column) {
        ASSERT_NE(book.at(1, column), nullptr);
        EXPECT_EQ(book.at(1, column)->text, table.header[column - 1]);
    }
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const int row = static_cast<int>(i) + 2;
        for (int column = 1; column <= 3; ++column) {
            const auto* cell = book.at(row, column);
            ASSERT_NE(cell, nullptr) << row << "," << column;
            EXPECT_EQ(cell->type, 's')
                << "a text cell, never a number or a formula: " << table.rows[i][column - 1];
            EXPECT_EQ(cell->text, table.rows[i][column - 1]) << "row " << row;
        }
    }

    // The product's own reader, which a report may be fed to as a MAC file, reads it the same.
    sheet::SheetReader reader;
    ASSERT_TRUE(reader.Open((dir / "report.XLSX").string()).ok());
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        EXPECT_EQ(reader.CellText(static_cast<int>(i) + 2, 2), table.rows[i][1]);
    }

    EXPECT_EQ(book.boldCells, (std::vector<std::pair<int, int>>{{1, 1}, {1, 2}, {1, 3}}));
    EXPECT_EQ(book.frozenAt, "A2");
    EXPECT_EQ(book.filter, "A1:C" + std::to_string(table.rows.size() + 1));
}

TEST(XlsxWriter, TextThatIsNotUtf8OrTooLongStillMakesAWorkbook) {
    TempDir dir;
    const std::string longCell(40000, 'x');
    ReportTable table{{"mac"},
                      {{std::string("ab\xff\xfe"
                                    "cd")},
                       {std::string("n\0ul", 4)},
                       {longCell},
                       {""}}};
    ASSERT_TRUE(writeReport(dir / "odd.xlsx", table).ok());
    const auto book = readWorkbook(dir / "odd.xlsx");
    ASSERT_TRUE(book.ok) << book.output;
    ASSERT_NE(book.at(2, 1), nullptr);
    EXPECT_EQ(book.at(2, 1)->text,
              "ab\xEF\xBF\xBD\xEF\xBF\xBD"
              "cd");
    EXPECT_EQ(book.at(3, 1)->text, "nul");
    EXPECT_EQ(book.at(4, 1)->text, std::string(32767, 'x'));
    EXPECT_EQ(book.at(5, 1), nullptr) << "an empty cell stays empty";
    EXPECT_EQ(book.filter, "A1:A5");
}

// What is not UTF-8 at all becomes U+FFFD byte by byte, wherever it stands in a cell: UTF-16
// surrogates, overlong forms, code points past U+10FFFF and a sequence cut short at the end.
TEST(XlsxWriter, EveryMalformedSequenceIsReplacedNotWritten) {
    TempDir dir;
    const std::string bad = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cells = {
        {"a\xED\xA0\x80", "a" + bad + bad + bad},     // a high surrogate
        {"\xED\xBF\xBFz", bad + bad + bad + "z"},     // a low surrogate
        {"\xC0\xAF", bad + bad},                      // "/" in two bytes
        {"x\xE0\x80\xAF", "x" + bad + bad + bad},     // "/" in three bytes
        {"\xF0\x80\x80\xAF", bad + bad + bad + bad},  // "/" in four bytes
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},  // past U+10FFFF
        {"ab\xE6\x97", "ab" + bad + bad},             // cut short at the end
        {"ab\xF0\x9F\x98", "ab" + bad + bad + bad},   // likewise
        {"\xC3", bad},                                // a lone lead byte
        {"\xED\x9F\xBF\xF4\x8F\xBF\xBF\xC2\x80",
         "\xED\x9F\xBF\xF4\x8F\xBF\xBF\xC2\x80"},  // the edges
    };
    ReportTable table{{"text"}, {}};
    for (const auto& cell : cells) table.rows.push_back({cell.first});
    ASSERT_TRUE(writeReport(dir / "bad.xlsx", table).ok());
    const auto book = readWorkbook(dir / "bad.xlsx");
    ASSERT_TRUE(book.ok) << book.output;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const auto* cell = book.at(static_cast<int>(i) + 2, 1);
        ASSERT_NE(cell, nullptr) << "row " << i + 2;
        EXPECT_EQ(cell->text, cells[i].second) << "row " << i + 2;
    }
}

bool hasSharedTable(const std::filesystem::path& workbook) {
    auto archive = sheet::ZipArchive::openFile(workbook.string());
    return archive && archive->contains("xl/sharedStrings.xml");
}

// Past kSharedTableRows a workbook goes to disk as its rows come, its texts inline, whatever
// the caller expected: openpyxl and the product's own reader see every row, the header bold
// and frozen and the filter over all; the awkward cells read back as written through the
// product's reader, which decodes the escapes of inline texts as the standard says, and the
// others through openpyxl too. Up to kSharedTableRows, the texts stay in the shared table.
TEST(ReportWriter, ALongWorkbookIsWrittenAsItsRowsCome) {
    TempDir dir;
    const auto write = [&](const std::string& name, std::size_t rows) {
        auto writer = ReportWriter::create(dir / name, {"row", "text"});
        ASSERT_TRUE(writer) << writer.error().message;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::string& awkward = kAwkwardCells[i % kAwkwardCells.size()];
            ASSERT_TRUE(writer->writeRow({std::to_string(i + 2), awkward}));
        }
        ASSERT_TRUE(writer->commit());
    };
    write("held.xlsx", kSharedTableRows);
    EXPECT_TRUE(hasSharedTable(dir / "held.xlsx"));
    const std::size_t rows = kSharedTableRows + 5;
    write("long.xlsx", rows);
    EXPECT_FALSE(hasSharedTable(dir / "long.xlsx")) << "written as the rows came";

    std::size_t seen = 0;
    ASSERT_TRUE(sheet::forEachRow(
        (dir / "long.xlsx").string(), [&](int row, std::vector<std::string>& cells) {
            if (row == 1) {
                EXPECT_EQ(cells, (std::vector<std::string>{"row", "text"}));
                return support::Status{};
            }
            const auto i = static_cast<std::size_t>(row - 2);
            EXPECT_EQ(cells[0], std::to_string(row));
            EXPECT_EQ(cells[1], kAwkwardCells[i % kAwkwardCells.size()]) << "row " << row;
            ++seen;
            return support::Status{};
        }));
    EXPECT_EQ(seen, rows);
    const auto book = readWorkbook(dir / "long.xlsx");
    ASSERT_TRUE(book.ok) << book.output;
    EXPECT_EQ(book.frozenAt, "A2");
    EXPECT_EQ(book.filter, "A1:B" + std::to_string(rows + 1));
    EXPECT_EQ(book.boldCells, (std::vector<std::pair<int, int>>{{1, 1}, {1, 2}}));
    for (int row = 2; row <= static_cast<int>(rows) + 1; ++row) {
        const std::string& awkward =
            kAwkwardCells[static_cast<std::size_t>(row - 2) % kAwkwardCells.size()];
        ASSERT_NE(book.at(row, 2), nullptr) << row;
        EXPECT_EQ(book.at(row, 1)->text, std::to_string(row));
        EXPECT_EQ(book.at(row, 2)->type, 's');
        if (awkward.find('_') == std::string::npos && awkward.find('\r') == std::string::npos) {
            EXPECT_EQ(book.at(row, 2)->text, awkward) << row;
        }
    }
}

// Until commit the old report stays as it was, in either form; a writer dropped unfinished
// leaves it and nothing beside it.
TEST(ReportWriter, AnUnfinishedReportLeavesTheOldOneAlone) {
    TempDir dir;
    for (const std::string name : {"r.csv", "r.xlsx"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(writeReport(dir / name, ReportTable{{"h"}, {{"old"}}}));
        const std::string old = readFile(dir / name);
        {
            auto writer = ReportWriter::create(dir / name, {"h"});
            ASSERT_TRUE(writer);
            ASSERT_TRUE(writer->writeRow({"new"}));
            EXPECT_EQ(readFile(dir / name), old);
        }
        EXPECT_EQ(readFile(dir / name), old);
    }
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 2u);
}

TEST(ReportFile, TheNameChoosesTheFormAndAFailedWriteSaysWhere) {
    TempDir dir;
    EXPECT_EQ(reportFormatFor("a/report.xlsx"), ReportFormat::Xlsx);
    EXPECT_EQ(reportFormatFor("report.Xlsx"), ReportFormat::Xlsx);
    EXPECT_EQ(reportFormatFor("report.csv"), ReportFormat::Csv);
    EXPECT_EQ(reportFormatFor("report"), ReportFormat::Csv);
    EXPECT_EQ(reportFormatFor("report.xlsx.txt"), ReportFormat::Csv);

    const ReportTable table{{"h"}, {{"v"}}};
    const auto missing = writeReport(dir / "missing" / "r.xlsx", table);
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().message.find("missing"), std::string::npos)
        << missing.error().message;
}

}  // namespace
}  // namespace velquor::report
