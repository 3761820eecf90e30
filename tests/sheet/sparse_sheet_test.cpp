// Sheets held by the cells that hold something: a used range of billions of cells read,
// walked and printed in proportion to its two values, and every reading phase stopped on
// request (in process, and by Ctrl-C to velquor-cli sheet).
#include <gtest/gtest.h>

#include <csignal>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "process_checks.h"
#include "sheet/csv_reader.h"
#include "sheet/sheet_reader.h"
#include "sheet/xlsx_reader.h"
#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::sheet {
namespace {

using ::velquor::testing::TempDir;

const std::string kCli = std::string(VELQUOR_BINARY_DIR) + "/src/cli/velquor-cli";
// Far above what a sparse sheet needs, far below what a store of its used range would.
constexpr std::uint64_t kMemoryBound = std::uint64_t{200} << 20;

struct VisitedCell {
    int row;
    int column;
    std::string text;
    bool operator==(const VisitedCell&) const = default;
};

std::vector<VisitedCell> visitAll(const SheetReader& reader) {
    std::vector<VisitedCell> cells;
    auto walked = reader.forEachCell([&](int row, int column, std::string_view text) {
        cells.push_back({row, column, std::string(text)});
        return support::Status();
    });
    EXPECT_TRUE(walked.ok()) << (walked.ok() ? "" : walked.error().message);
    return cells;
}

TEST(SparseSheet, HoldsAndWalksOnlyTheCellsWithAValue) {
    TempDir dir;
    const auto path = dir / "sparse.xlsx";
    testing::writeZip(path, testing::sparseWorkbook("mac", "far"));
    SheetReader reader;
    auto opened = reader.Open(path.string());
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    // The used range keeps its meaning: counted from A1 to the last cell.
    EXPECT_EQ(opened->RowCount, 1048576);
    EXPECT_EQ(opened->ColumnCount, 16384);
    EXPECT_EQ(reader.CellText(1, 1), "mac");
    EXPECT_EQ(reader.CellText(1048576, 16384), "far");
    EXPECT_EQ(reader.CellText(1048576, 1), "");
    EXPECT_EQ(reader.CellText(524288, 8192), "");
    EXPECT_EQ(visitAll(reader), (std::vector<VisitedCell>{{1, 1, "mac"}, {1048576, 16384, "far"}}));
}

TEST(SparseSheet, TheWalkGoesRowByRowAndSkipsCellsThatShowNothing) {
    TempDir dir;
    // Cells written out of order, an empty inline string and a number whose format shows
    // nothing: the walk is in sheet order and visits only what a user would see.
    const std::string styles =
        "<numFmts><numFmt numFmtId=\"170\" formatCode=\";;;\"/></numFmts>"
        "<cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"170\"/></cellXfs>";
    const auto path = dir / "order.xlsx";
    testing::writeZip(path,
                      testing::minimalWorkbook(
                          "<row r=\"3\"><c r=\"B3\"><v>2</v></c><c r=\"A3\"><v>1</v></c></row>"
                          "<row r=\"1\"><c r=\"C1\" t=\"inlineStr\"><is><t></t></is></c>"
                          "<c r=\"D1\" s=\"1\"><v>5</v></c><c r=\"E1\"><v>7</v></c></row>",
                          "", styles));
    SheetReader reader;
    ASSERT_TRUE(reader.Open(path.string()).ok());
    EXPECT_EQ(visitAll(reader), (std::vector<VisitedCell>{{1, 5, "7"}, {3, 1, "1"}, {3, 2, "2"}}));

    // Delimited text: empty fields of ragged rows are no cells either.
    ::velquor::testing::writeFile(dir / "ragged.csv", "a,,c\n\n,,,d\n");
    ASSERT_TRUE(reader.Open((dir / "ragged.csv").string()).ok());
    EXPECT_EQ(visitAll(reader), (std::vector<VisitedCell>{{1, 1, "a"}, {1, 3, "c"}, {3, 4, "d"}}));
}

TEST(StopRequest, EndsEveryReadingPhaseWithCancelled) {
    TempDir dir;
    const auto workbook = dir / "big.xlsx";
    testing::writeZip(workbook, testing::largeWorkbook(200, 50));
    ::velquor::testing::writeFile(dir / "big.csv", "a,b\n\"c\",d\n");
    std::stop_source stopped;
    stopped.request_stop();

    SheetReader reader;
    for (const auto& path : {workbook, dir / "big.csv"}) {
        auto opened = reader.Open(path.string(), stopped.get_token());
        ASSERT_FALSE(opened.ok()) << path;
        EXPECT_EQ(opened.error().code, support::ErrorCode::Cancelled) << opened.error().message;
        EXPECT_FALSE(reader.isOpen());
    }
    SheetData data;
    EXPECT_EQ(readDelimitedText("a,b\n", data, stopped.get_token()).error().code,
              support::ErrorCode::Cancelled);

    // A stop that arrives during the walk ends it within a few thousand cells.
    ASSERT_TRUE(reader.Open(workbook.string()).ok());
    std::stop_source midway;
    std::size_t visited = 0;
    auto walked = reader.forEachCell(
        [&](int, int, std::string_view) {
            if (++visited == 10) midway.request_stop();
            return support::Status();
        },
        midway.get_token());
    ASSERT_FALSE(walked.ok());
    EXPECT_EQ(walked.error().code, support::ErrorCode::Cancelled);
    EXPECT_LT(visited, std::size_t{200 * 50});
}

// ---- velquor-cli sheet --------------------------------------------------------------------

TEST(SheetCommandBounds, PrintsASparseSheetRowByRowInBoundedMemory) {
    TempDir dir;
    const auto path = dir / "sparse.xlsx";
    testing::writeZip(path, testing::sparseWorkbook("mac", "far"));
    int status = -1;
    const std::string output =
        ::velquor::testing::runCommand(::velquor::testing::shellQuote(kCli) + " sheet " +
                                           ::velquor::testing::shellQuote(path.string()),
                                       &status);
    EXPECT_EQ(status, 0);
    // Every row is a line; each ends at its last cell that shows something.
    const std::string expected =
        "mac\n" + std::string(1048574, '\n') + std::string(16383, '\t') + "far\n";
    EXPECT_EQ(output.size(), expected.size());
    EXPECT_TRUE(output == expected);
    EXPECT_LT(::velquor::testing::peakChildMemoryBytes(), kMemoryBound);
}

TEST(SheetCommandBounds, AFormatOfAMillionZerosShowsGeneralWithOneWarning) {
    TempDir dir;
    const auto path = dir / "bomb.xlsx";
    testing::writeZip(path, testing::largeWorkbook(2000, 10, std::string(1000000, '0')));
    int status = -1;
    const std::string output = ::velquor::testing::runCommand(
        ::velquor::testing::shellQuote(kCli) + " sheet " +
            ::velquor::testing::shellQuote(path.string()) + " 2>" +
            ::velquor::testing::shellQuote((dir / "stderr").string()),
        &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("\n15.25\t16.25\t"), std::string::npos) << output.substr(0, 200);
    const std::string warnings = ::velquor::testing::readFile(dir / "stderr");
    EXPECT_EQ(warnings.find("warning:"), warnings.rfind("warning:")) << warnings.substr(0, 400);
    EXPECT_NE(warnings.find("number format 170"), std::string::npos);
    EXPECT_LT(warnings.size(), 1000u);
    EXPECT_LT(::velquor::testing::peakChildMemoryBytes(), kMemoryBound);
}

TEST(SheetCommandBounds, CtrlCEndsTheReadingWithStatus130) {
    TempDir dir;
    const auto path = dir / "big.xlsx";
    testing::writeZip(path, testing::largeWorkbook(testing::kRowsSlowToRead, 20));
    const int status = ::velquor::testing::exitStatusAfterInterrupt(
        {kCli, "sheet", path.string()}, dir / "output",
        [&](const ::velquor::testing::ChildProcess& cli) { return cli.hasOpen(path); });
    EXPECT_EQ(status, 130) << ::velquor::testing::readFile(dir / "output").substr(0, 400);
}

}  // namespace
}  // namespace velquor::sheet
