// Device sheets with empty rows and sparse used ranges: rows that hold nothing are no devices
// and are counted; a value in XFD1048576 costs one row, not the rectangle; a stop while the
// sheet is read ends the run before anything is written (in process and by Ctrl-C); a long text
// sheet read in parts is the same table.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "child_process.h"
#include "generator/devices/device_table.h"
#include "generator/run/generation_job.h"
#include "generator_fixtures.h"
#include "process_checks.h"
#include "sheet/sheet_reader.h"
#include "support/progress.h"
#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using test::filesBelow;
using test::xpathInFile;
using velquor::testing::readFile;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::writeFile;

const std::string kCli = VELQUOR_BINARY_DIR "/src/cli/velquor-cli";
constexpr std::uint64_t kMemoryBound = std::uint64_t{200} << 20;

class SparseGeneration : public ::testing::Test {
protected:
    SparseGeneration() { writeFile(m_dir / "t.xml", test::kTemplate); }

    GenerationRequest request(const fs::path& sheet) const {
        GenerationRequest request;
        request.templatePath = (m_dir / "t.xml").string();
        request.sheetPath = sheet.string();
        request.outputFolder = (m_dir / "out").string();
        return request;
    }

    support::Result<GenerationReport> run(const fs::path& sheet, std::stop_token stop = {}) {
        support::NullProgress progress;
        return runGeneration(request(sheet), progress, stop);
    }

    // velquor-cli generate on the sheet; stdout and stderr kept apart.
    int runCli(const fs::path& sheet, std::string* out, std::string* err) {
        int status = -1;
        *out = runCommand(
            shellQuote(kCli) + " generate -t " + shellQuote((m_dir / "t.xml").string()) + " -s " +
                shellQuote(sheet.string()) + " -o " + shellQuote((m_dir / "out").string()) + " 2>" +
                shellQuote((m_dir / "stderr").string()),
            &status);
        *err = readFile(m_dir / "stderr");
        return status;
    }

    velquor::testing::TempDir m_dir;
};

TEST_F(SparseGeneration, RowsThatHoldNothingAreNoDevicesAndAreCounted) {
    test::Rows rows = test::deviceSheet(2);
    rows.insert(rows.begin() + 2, {{}, {"", "", "", "", "", "", ""}});
    // Only a MAC and a name: the other columns the sheet has read as empty.
    rows.push_back({"0011223344aa", "Short"});
    // A value past column G makes a device row without a MAC: that is a failure, not a gap.
    rows.push_back({"", "", "", "", "", "", "", "note"});
    test::writeCsv(m_dir / "s.csv", rows);

    auto report = run(m_dir / "s.csv");
    ASSERT_TRUE(report) << report.error().message;
    EXPECT_EQ(report->emptyRows, 2u);
    ASSERT_EQ(report->devices.size(), 4u);
    EXPECT_EQ(report->devices[1].row, 5);
    EXPECT_EQ(report->devices[2].outcome, DeviceOutcome::Written);
    EXPECT_EQ(xpathInFile(m_dir / "out" / "0011223344aa.xml", "//DisplayName"), "Short");
    EXPECT_EQ(xpathInFile(m_dir / "out" / "0011223344aa.xml", "//AuthID"), "");
    EXPECT_EQ(report->devices[3].outcome, DeviceOutcome::Refused);
    EXPECT_EQ(report->devices[3].reason, "row 7: the MAC cell (column A) is empty");
    const std::string summary = generationSummaryText(*report);
    EXPECT_NE(summary.find("\n2 empty rows were skipped: they hold no device."), std::string::npos)
        << summary;

    // When every device is written the product's "Success !" stands on standard output, and
    // the shell user still hears of the files replaced (MD5SUMS among them), the skipped rows and
    // the empty values.
    rows.pop_back();
    test::writeCsv(m_dir / "s.csv", rows);
    std::string out, err;
    EXPECT_EQ(runCli(m_dir / "s.csv", &out, &err), 0) << err;
    EXPECT_EQ(out, "Success !\n");
    EXPECT_EQ(err,
              "velquor-cli: warning: 4 files will be replaced.\n"
              "velquor-cli: 2 empty rows were skipped: they hold no device.\n"
              "velquor-cli: warning: 1 row was written with empty values:\n"
              "- row 6: written, with UserID (C), AuthID (D), Password (E), Proxy (F), SIPPort (G) "
              "empty\n");
}

// A text sheet long enough to be read in parts side by side gives the table one reading
// gives: every row in its place, quoted cells across lines, empty rows skipped.
TEST_F(SparseGeneration, ALongTextSheetReadInPartsGivesTheTableOneReadingGives) {
    std::string csv = "MAC,Name,User,Auth,Password,Proxy,Port,Note\r\n";
    for (int i = 0; i < 90000; ++i) {
        csv += "00112233" + std::to_string(1000 + i % 9000) + ",Desk " + std::to_string(i) + ",2" +
               std::to_string(i) + ",,pw,proxy.lan,5060";
        csv += i % 7 == 0 ? ",\"two\r\nlines, \"\"quoted\"\"\"\r\n" : i % 11 == 0 ? "\n\n" : "\n";
    }
    writeFile(m_dir / "long.csv", csv);
    ASSERT_GT(fs::file_size(m_dir / "long.csv"), std::uintmax_t{4} << 20);

    auto table = readDeviceTable((m_dir / "long.csv").string());
    ASSERT_TRUE(table) << table.error().message;
    sheet::SheetReader reader;
    auto dimensions = reader.Open((m_dir / "long.csv").string());
    ASSERT_TRUE(dimensions);
    EXPECT_EQ(table->RowCount, dimensions->RowCount);
    EXPECT_EQ(table->ColumnCount, dimensions->ColumnCount);
    EXPECT_EQ(table->headerCells().front(), "MAC");
    std::map<int, std::vector<std::string>> expected;
    ASSERT_TRUE(reader.forEachCell([&](int row, int column, std::string_view text) {
        auto& cells = expected[row];
        cells.resize(static_cast<std::size_t>(column));
        cells[static_cast<std::size_t>(column) - 1] = text;
        return support::Status{};
    }));
    ASSERT_EQ(table->rows.size(), expected.size());
    auto want = expected.begin();
    for (const DeviceTable::Row& row : table->rows) {
        ASSERT_EQ(row.sheetRow, want->first);
        EXPECT_EQ(std::vector<std::string>(row.cells.begin(), row.cells.end()), want->second)
            << "row " << row.sheetRow;
        ++want;
    }
}

TEST_F(SparseGeneration, AValueInXfd1048576CostsOneRowNotTheRectangle) {
    const fs::path sheet = m_dir / "sparse.xlsx";
    sheet::testing::writeZip(sheet, sheet::testing::sparseWorkbook("header", "far"));
    auto report = run(sheet);
    ASSERT_TRUE(report) << report.error().message;
    ASSERT_EQ(report->devices.size(), 1u);
    EXPECT_EQ(report->devices[0].reason, "row 1048576: the MAC cell (column A) is empty");
    EXPECT_EQ(report->emptyRows, 1048574u);

    std::string out, err;
    EXPECT_EQ(runCli(sheet, &out, &err), 1);
    EXPECT_NE(err.find("1048574 empty rows were skipped"), std::string::npos) << err;
    EXPECT_NE(err.find("row 1048576: the MAC cell (column A) is empty"), std::string::npos);
    EXPECT_TRUE(filesBelow(m_dir / "out").empty());
    EXPECT_LT(velquor::testing::peakChildMemoryBytes(), kMemoryBound);
}

TEST_F(SparseGeneration, AStopWhileTheSheetIsReadWritesNothing) {
    test::writeCsv(m_dir / "s.csv", test::deviceSheet(3));
    std::stop_source stopped;
    stopped.request_stop();
    auto report = run(m_dir / "s.csv", stopped.get_token());
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().code, support::ErrorCode::Cancelled);
    EXPECT_FALSE(fs::exists(m_dir / "out"));

    // Ctrl-C to velquor-cli generate while it reads a large workbook: status 130, no file.
    const fs::path big = m_dir / "big.xlsx";
    sheet::testing::writeZip(big,
                             sheet::testing::largeWorkbook(sheet::testing::kRowsSlowToRead, 20));
    const int status = velquor::testing::exitStatusAfterInterrupt(
        {kCli, "generate", "-t", (m_dir / "t.xml").string(), "-s", big.string(), "-o",
         (m_dir / "out").string()},
        m_dir / "output",
        [&](const velquor::testing::ChildProcess& cli) { return cli.hasOpen(big); });
    EXPECT_EQ(status, 130) << readFile(m_dir / "output");
    EXPECT_TRUE(!fs::exists(m_dir / "out") || filesBelow(m_dir / "out").empty());
}

}  // namespace
}  // namespace velquor::generator
