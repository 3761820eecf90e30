// Workbooks through SheetReader: the fixtures made by a real spreadsheet writer, and hostile
// or broken workbooks forged part by part.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sheet/sheet_reader.h"
#include "temp_dir.h"
#include "workbook_builder.h"

namespace velquor::sheet {
namespace {

using Grid = std::vector<std::vector<std::string>>;

std::string fixture(const std::string& name) {
    return std::string(VELQUOR_SOURCE_DIR) + "/tests/sheet/fixtures/" + name;
}

Grid readAll(const SheetReader& reader) {
    Grid grid;
    for (int r = 1; r <= reader.RowCount(); ++r) {
        grid.emplace_back();
        for (int c = 1; c <= reader.ColumnCount(); ++c)
            grid.back().push_back(reader.CellText(r, c));
    }
    return grid;
}

Grid readFile(const std::string& path) {
    SheetReader reader;
    auto opened = reader.Open(path);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().message);
    return readAll(reader);
}

TEST(XlsxReader, ReadsTheActiveSheetWithEveryKindOfCell) {
    SheetReader reader;
    auto opened = reader.Open(fixture("devices.xlsx"));
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(opened->RowCount, 4);
    EXPECT_EQ(opened->ColumnCount, 8);
    EXPECT_EQ(readAll(reader),
              (Grid{{"MAC", "Display", "User", "Password", "Proxy", "Port", "Enabled", "Added"},
                    {"112233445566", "张三", "1001", "pw1", "sip.example.com", "5060.00", "TRUE",
                     "1/15/2024"},
                    {"00A0B0C0D0E0", "Bob Smith", "1002", "p;w,2", "10.0.0.1", "5062.00", "FALSE",
                     "2024-02-29 13:45:30"},
                    {"001122334455", "王五 Wang", "1003", "#N/A", "", "5060.50", "", "8:05 AM"}}));
    EXPECT_EQ(reader.CellText(0, 1), "");
    EXPECT_EQ(reader.CellText(5, 1), "");
    EXPECT_EQ(reader.CellText(1, 9), "");
}

TEST(XlsxReader, KeepsA1AsTheOriginOfARangeThatStartsLater) {
    SheetReader reader;
    auto opened = reader.Open(fixture("offset.xlsx"));
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    // B2:D10 is used; the stale <dimension> says A1:A1 and style-only cells lie at G3 and F20.
    EXPECT_EQ(reader.RowCount(), 10);
    EXPECT_EQ(reader.ColumnCount(), 4);
    EXPECT_EQ(reader.CellText(1, 1), "");
    EXPECT_EQ(reader.CellText(2, 2), "top-left");
    EXPECT_EQ(reader.CellText(2, 4), "3");
    EXPECT_EQ(reader.CellText(5, 3), "middle");
    EXPECT_EQ(reader.CellText(3, 3), "");
    EXPECT_EQ(reader.CellText(10, 2), "bottom");
    EXPECT_EQ(reader.CellText(10, 4), "1.25");
}

TEST(XlsxReader, ReadsCachedResultsInlineAndRichText) {
    EXPECT_EQ(readFile(fixture("cached.xlsx")), (Grid{{"rich", "#DIV/0!"},
                                                      {"1", "10.0%"},
                                                      {"2", ""},
                                                      {"3", ""},
                                                      {"richx", ""},
                                                      {"FALSE", ""},
                                                      {"#DIV/0!", ""},
                                                      {"inline\r", ""}}));
}

TEST(XlsxReader, UsesTheWorkbooksDateSystem) {
    EXPECT_EQ(readFile(fixture("date1904.xlsx")),
              (Grid{{"1/15/2024"}, {"1904-01-01"}, {"2 Jan 1904 12:00"}}));
}

TEST(XlsxReader, AppliesNumberFormatsFromStyles) {
    const Grid grid = readFile(fixture("formats.xlsx"));
    const std::vector<std::string> expected = {
        "1234.5678", "1234.57",         "1,234.57",   "(1,235)",  "25%",   "1.23E+04",
        " 3/4",      "1/15/2024 12:00", "6:00:00 PM", "36:00:00", "05060", "112233445566",
        "text",      "minus 5.0",       "zero",       "Port 42"};
    ASSERT_EQ(grid.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(grid[i][0], expected[i]) << "format " << grid[i][1];
    }
}

class HostileWorkbook : public ::testing::Test {
protected:
    // Opens parts written as a workbook; returns the error message, or "" when it opened.
    std::string openParts(const testing::Parts& parts, const std::string& name = "book.xlsx") {
        testing::writeZip(m_dir / name, parts);
        return openPath((m_dir / name).string());
    }
    std::string openPath(const std::string& path) {
        SheetReader reader;
        auto opened = reader.Open(path);
        EXPECT_EQ(reader.isOpen(), opened.ok());
        return opened.ok() ? std::string() : opened.error().message;
    }
    static void expectMentions(const std::string& message, const std::vector<std::string>& words) {
        EXPECT_FALSE(message.empty());
        for (const std::string& word : words) {
            EXPECT_NE(message.find(word), std::string::npos) << message << " lacks " << word;
        }
    }
    ::velquor::testing::TempDir m_dir;
};

TEST_F(HostileWorkbook, AMinimalWorkbookOpens) {
    EXPECT_EQ(openParts(testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>")),
              "");
}

TEST_F(HostileWorkbook, RefusesAZipBombBeforeInflatingIt) {
    std::string huge = "<worksheet><sheetData/>";
    huge.append(std::size_t{48} << 20, ' ');
    huge += "</worksheet>";
    auto parts = testing::minimalWorkbook("");
    parts["xl/worksheets/sheet1.xml"] = huge;
    expectMentions(openParts(parts), {"book.xlsx", "xl/worksheets/sheet1.xml", "zip bomb"});
}

TEST_F(HostileWorkbook, StopsAtTheDeclaredSizeWhateverTheArchiveDelivers) {
    std::string rows;
    for (int r = 1; r <= 2000; ++r) {
        rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><v>" +
                std::to_string(r) + "</v></c></row>";
    }
    testing::writeZip(m_dir / "lie.xlsx", testing::minimalWorkbook(rows));
    testing::forgeDeclaredSize(m_dir / "lie.xlsx", "xl/worksheets/sheet1.xml", 1000);
    expectMentions(openPath((m_dir / "lie.xlsx").string()), {"lie.xlsx", "sheet1.xml"});
}

TEST_F(HostileWorkbook, RefusesDocumentTypesAndEntities) {
    auto parts = testing::minimalWorkbook(
        "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>&x;</t></is></c></row>");
    parts["xl/worksheets/sheet1.xml"].insert(
        0, "<!DOCTYPE worksheet [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>");
    expectMentions(openParts(parts), {"sheet1.xml", "document type"});

    auto strings = testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>",
                                            "<si><t>a</t></si>");
    strings["xl/sharedStrings.xml"].insert(0, "<!DOCTYPE sst SYSTEM \"http://127.0.0.1:9/x.dtd\">");
    expectMentions(openParts(strings), {"sharedStrings.xml", "document type"});
}

TEST_F(HostileWorkbook, RefusesBadReferencesWithTheirAddress) {
    expectMentions(openParts(testing::minimalWorkbook(
                       "<row r=\"1\"><c r=\"B1\" t=\"s\"><v>5</v></c></row>", "<si><t>a</t></si>")),
                   {"B1", "shared string", "5"});
    expectMentions(
        openParts(testing::minimalWorkbook("<row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row>")),
        {"XFE1", "XFD"});
    expectMentions(openParts(testing::minimalWorkbook(
                       "<row r=\"1048577\"><c r=\"A1048577\"><v>1</v></c></row>")),
                   {"1048577"});
    expectMentions(
        openParts(testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\"><v>abc</v></c></row>")),
        {"A1", "not a number"});
    expectMentions(
        openParts(testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\"><v>nan</v></c></row>")),
        {"A1", "not a number"});
}

TEST_F(HostileWorkbook, ReportsBrokenXmlAndMissingParts) {
    expectMentions(openParts(testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\"><v>1</v></row>")),
                   {"sheet1.xml", "not well-formed", "line"});
    auto missing = testing::minimalWorkbook("");
    missing.erase("xl/worksheets/sheet1.xml");
    expectMentions(openParts(missing), {"xl/worksheets/sheet1.xml", "missing"});
    auto noStrings = testing::minimalWorkbook("", "<si/>");
    noStrings.erase("xl/sharedStrings.xml");
    expectMentions(openParts(noStrings), {"sharedStrings.xml", "missing"});
    auto noWorkbook = testing::minimalWorkbook("");
    noWorkbook.erase("xl/workbook.xml");
    expectMentions(openParts(noWorkbook), {"workbook"});
}

TEST_F(HostileWorkbook, NeverFollowsTargetsOutOfThePackage) {
    auto parts = testing::minimalWorkbook("");
    auto& rels = parts["xl/_rels/workbook.xml.rels"];
    rels.replace(rels.find("worksheets/sheet1.xml"), 21, "../../../../etc/passwd");
    expectMentions(openParts(parts), {"climbs out"});

    // A leading "/" names the part from the package root.
    auto rooted = testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\"><v>7</v></c></row>");
    auto& rootedRels = rooted["xl/_rels/workbook.xml.rels"];
    rootedRels.replace(rootedRels.find("worksheets/sheet1.xml"), 21, "/xl/worksheets/sheet1.xml");
    EXPECT_EQ(openParts(rooted), "");
}

TEST_F(HostileWorkbook, SortsCellsWrittenOutOfOrderAndKeepsTheLastOfTwins) {
    testing::writeZip(m_dir / "order.xlsx",
                      testing::minimalWorkbook("<row r=\"3\"><c r=\"B3\"><v>1</v></c></row>"
                                               "<row r=\"1\"><c r=\"C1\"><v>2</v></c>"
                                               "<c r=\"A1\"><v>3</v></c></row>"
                                               "<row r=\"3\"><c r=\"B3\"><v>4</v></c></row>"));
    EXPECT_EQ(readFile((m_dir / "order.xlsx").string()),
              (Grid{{"3", "", "2"}, {"", "", ""}, {"", "4", ""}}));
}

TEST_F(HostileWorkbook, RefusesDuplicateMembers) {
    auto parts = testing::minimalWorkbook("");
    parts["xl/worksheets/sheeT1.xml"] = "<worksheet/>";
    expectMentions(openParts(parts), {"twice"});
}

TEST_F(HostileWorkbook, NeverSizesMemoryFromDeclaredCounts) {
    auto parts = testing::minimalWorkbook("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>",
                                          "<si><t>only</t></si>");
    parts["xl/sharedStrings.xml"].replace(parts["xl/sharedStrings.xml"].find("<sst "), 5,
                                          "<sst count=\"2000000000\" uniqueCount=\"2000000000\" ");
    auto& sheet = parts["xl/worksheets/sheet1.xml"];
    sheet.replace(sheet.find("<sheetData>"), 11, "<dimension ref=\"A1:XFD1048576\"/><sheetData>");
    testing::writeZip(m_dir / "big.xlsx", parts);
    SheetReader reader;
    auto opened = reader.Open((m_dir / "big.xlsx").string());
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(reader.RowCount(), 1);
    EXPECT_EQ(reader.ColumnCount(), 1);
    EXPECT_EQ(reader.CellText(1, 1), "only");
}

TEST_F(HostileWorkbook, NamesTheFileAndReasonForWhatIsNoWorkbook) {
    ::velquor::testing::writeFile(m_dir / "text.xlsx", "just text");
    expectMentions(openPath((m_dir / "text.xlsx").string()), {"text.xlsx", "not a zip"});
    ::velquor::testing::writeFile(m_dir / "locked.xlsx",
                                  std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "rest");
    expectMentions(openPath((m_dir / "locked.xlsx").string()), {"locked.xlsx", "password"});
    ::velquor::testing::writeFile(m_dir / "old.xls", "binary");
    expectMentions(openPath((m_dir / "old.xls").string()),
                   {"old.xls", "not supported", ".xlsx or .csv"});
    ::velquor::testing::writeFile(m_dir / "sheet.ods", "x");
    expectMentions(openPath((m_dir / "sheet.ods").string()), {"sheet.ods", "not supported"});
    expectMentions(openPath((m_dir / "absent.xlsx").string()), {"absent.xlsx", "no such file"});
    expectMentions(openPath(m_dir.path().string()), {"folder"});
}

TEST_F(HostileWorkbook, RefusesAChartAsTheActiveSheet) {
    auto parts = testing::minimalWorkbook("");
    auto& rels = parts["xl/_rels/workbook.xml.rels"];
    rels.replace(rels.find("/worksheet\""), 11, "/chartsheet\"");
    expectMentions(openParts(parts), {"\"S\"", "not a worksheet"});
}

TEST_F(HostileWorkbook, AReaderOpensAgainAfterAFailureAndMovesWhole) {
    testing::writeZip(m_dir / "good.xlsx",
                      testing::minimalWorkbook(
                          "<row><c><v>1</v></c><c><v>2</v></c></row><row><c><v>3</v></c></row>"));
    SheetReader reader;
    EXPECT_FALSE(reader.Open((m_dir / "missing.xlsx").string()).ok());
    ASSERT_TRUE(reader.Open((m_dir / "good.xlsx").string()).ok());
    EXPECT_FALSE(reader.Open((m_dir / "missing.xlsx").string()).ok());
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.RowCount(), 0);
    ASSERT_TRUE(reader.Open((m_dir / "good.xlsx").string()).ok());
    SheetReader moved = std::move(reader);
    EXPECT_EQ(readAll(moved), (Grid{{"1", "2"}, {"3", ""}}));
    moved.Close();
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(moved.CellText(1, 1), "");
}

}  // namespace
}  // namespace velquor::sheet
