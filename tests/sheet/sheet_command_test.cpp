// velquor-cli sheet: the printed layout, escaping, --counts and failures.
#include <gtest/gtest.h>

#include <string>

#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::sheet {
namespace {

using ::velquor::testing::runCommand;
using ::velquor::testing::shellQuote;

const std::string kCli = std::string(VELQUOR_BINARY_DIR) + "/src/cli/velquor-cli";

std::string fixture(const std::string& name) {
    return std::string(VELQUOR_SOURCE_DIR) + "/tests/sheet/fixtures/" + name;
}

std::string run(const std::string& arguments, int* status, bool withStderr = false) {
    return runCommand(
        shellQuote(kCli) + " sheet " + arguments + (withStderr ? " 2>&1" : " 2>/dev/null"), status);
}

TEST(SheetCommand, PrintsEveryRowFromA1UpToItsLastCellWithTabs) {
    int status = -1;
    EXPECT_EQ(run(shellQuote(fixture("offset.xlsx")), &status),
              "\n"
              "\ttop-left\t\t3\n"
              "\n\n"
              "\t\tmiddle\n"
              "\n\n\n\n"
              "\tbottom\t\t1.25\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run("--counts " + shellQuote(fixture("offset.xlsx")), &status),
              "10 rows, 4 columns\n");
    EXPECT_EQ(status, 0);
}

TEST(SheetCommand, EscapesTabsLineBreaksAndBackslashes) {
    ::velquor::testing::TempDir dir;
    ::velquor::testing::writeFile(dir / "cells.csv", "\"a\tb\",\"c\nd\",e\\f\n");
    int status = -1;
    EXPECT_EQ(run(shellQuote((dir / "cells.csv").string()), &status), "a\\tb\tc\\nd\te\\\\f\n");
    EXPECT_EQ(status, 0);
}

TEST(SheetCommand, WarnsOnStderrOfARefusedFormatAndStillPrintsTheCells) {
    ::velquor::testing::TempDir dir;
    const std::string styles = "<numFmts><numFmt numFmtId=\"170\" formatCode=\"" +
                               std::string(300, '0') +
                               "\"/></numFmts><cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"170\"/>"
                               "</cellXfs>";
    const auto path = dir / "refused.xlsx";
    testing::writeZip(
        path, testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\" s=\"1\"><v>2.5</v></c></row>", "",
                                       styles));
    int status = -1;
    EXPECT_EQ(run(shellQuote(path.string()), &status), "2.5\n");
    EXPECT_EQ(status, 0);
    const std::string both = run(shellQuote(path.string()), &status, true);
    EXPECT_NE(both.find("velquor-cli: warning: \"" + path.string() + "\": number format 170"),
              std::string::npos)
        << both;
}

TEST(SheetCommand, FailsWithOneLineNamingTheFile) {
    ::velquor::testing::TempDir dir;
    ::velquor::testing::writeFile(dir / "old.xls", "x");
    int status = -1;
    const std::string output = run(shellQuote((dir / "old.xls").string()), &status, true);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("old.xls"), std::string::npos);
    EXPECT_NE(output.find(".xlsx or .csv"), std::string::npos);
    EXPECT_EQ(output.find('\n'), output.size() - 1) << output;

    run(shellQuote((dir / "absent.csv").string()), &status);
    EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace velquor::sheet
