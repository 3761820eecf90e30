// Fields from any column: element paths, placeholders with and without defaults, a template
// per row, and the rule that keeps a sheet made for the fixed columns as it was.
#include "generator/fields/template_fields.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "generator/run/generation_job.h"
#include "generator/template/config_template.h"
#include "generator_fixtures.h"
#include "support/reporter.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using test::filesBelow;
using test::Rows;
using test::xpathInFile;
using velquor::testing::readFile;
using velquor::testing::writeFile;

constexpr const char* kTwoLines = R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <Ext1>
    <SIPSettings><SIPPort>5060</SIPPort></SIPSettings>
    <ProxyandRegistration><Proxy>old</Proxy></ProxyandRegistration>
    <SubscriberInformation><DisplayName/><UserID>100</UserID><AuthID/><Password/></SubscriberInformation>
  </Ext1>
  <Ext2><SubscriberInformation><UserID>200</UserID></SubscriberInformation></Ext2>
  <Ext2><SubscriberInformation><UserID>300</UserID></SubscriberInformation></Ext2>
  <TimeZone>{{TimeZone}}</TimeZone><Label>{{Label|Desk}}</Label>
  <Note host="{{mac}}" at="row {{row}}">row {{row}} &amp; {{Label|x}}</Note>
</Config>
)";

const std::vector<std::string> kHeader = {
    "MAC",          "Name",     "User",    "Auth",
    "Password",     "Proxy",    "Port",    "Ext2/SubscriberInformation/UserID",
    "Ext2/@Enable", "TimeZone", "template"};

class TemplateFields : public ::testing::Test {
protected:
    TemplateFields() {
        writeFile(m_dir / "t.xml", kTwoLines);
        std::string modelB = kTwoLines;
        modelB.replace(modelB.find("<Config>"), 8, "<Config model=\"b\">");
        writeFile(m_dir / "model-b.xml", modelB);
    }

    support::Result<GenerationReport> run(const Rows& rows, const std::string& templateName) {
        test::writeCsv(m_dir / "s.csv", rows);
        GenerationRequest request;
        request.templatePath = (m_dir / templateName).string();
        request.sheetPath = (m_dir / "s.csv").string();
        request.outputFolder = (m_dir / "out").string();
        support::NullProgress progress;
        return runGeneration(request, progress);
    }

    GenerationReport check(const Rows& rows, const std::string& templateName) {
        test::writeCsv(m_dir / "s.csv", rows);
        GenerationRequest request;
        request.templatePath = (m_dir / templateName).string();
        request.sheetPath = (m_dir / "s.csv").string();
        auto report = checkDeviceSheet(request);
        EXPECT_TRUE(report) << report.error().message;
        EXPECT_FALSE(fs::exists(m_dir / "out"));
        return report ? std::move(*report) : GenerationReport{};
    }

    velquor::testing::TempDir m_dir;
};

TEST_F(TemplateFields, PathsPlaceholdersAndATemplatePerRowFillEveryFile) {
    const Rows rows = {kHeader,
                       {"001a2b3c4d5e", "Alice", "1001", "1001", "pw1", "sip", "5060", "2001",
                        "Enable", "Europe/Berlin", ""},
                       {"001a2b3c4d5f", "Bob", "1002", "1002", "pw2", "sip", "5060", "2002",
                        "Enable", "Asia/Shanghai", "model-b.xml"}};
    auto report = run(rows, "t.xml");
    ASSERT_TRUE(report) << report.error().message;
    EXPECT_TRUE(report->allWritten()) << generationSummaryText(*report);
    const fs::path alice = m_dir / "out" / "001a2b3c4d5e.xml";
    const fs::path bob = m_dir / "out" / "001a2b3c4d5f.xml";
    EXPECT_EQ(xpathInFile(alice, "/Config/Ext1/SubscriberInformation/UserID"), "1001");
    EXPECT_EQ(test::xpathCount(readFile(alice), "/Config/Ext2[@Enable='Enable']"), 2)
        << "every repeat of the path";
    EXPECT_EQ(
        test::xpathCount(readFile(alice), "/Config/Ext2/SubscriberInformation[UserID='2001']"), 2);
    EXPECT_EQ(xpathInFile(alice, "/Config/TimeZone"), "Europe/Berlin");
    EXPECT_EQ(xpathInFile(alice, "/Config/Label"), "Desk") << "the default of an absent column";
    EXPECT_EQ(xpathInFile(alice, "/Config/Note/@host"), "001a2b3c4d5e");
    EXPECT_EQ(xpathInFile(alice, "/Config/Note/@at"), "row 2");
    EXPECT_EQ(xpathInFile(alice, "/Config/Note"), "row 2 & x");
    EXPECT_EQ(xpathInFile(alice, "/Config/@model"), std::nullopt);
    EXPECT_EQ(xpathInFile(bob, "/Config/@model"), "b") << "its row names model-b.xml";
    EXPECT_EQ(xpathInFile(bob, "/Config/TimeZone"), "Asia/Shanghai");
    EXPECT_EQ(readFile(alice).find("{{"), std::string::npos) << readFile(alice);
}

TEST_F(TemplateFields, APlaceholderNoColumnFillsRefusesTheRunBeforeAnyFile) {
    std::string missing = kTwoLines;
    missing.replace(missing.find("<Config>"), 8, "<Config><X a=\"{{Missing}}\"/>");
    writeFile(m_dir / "missing.xml", missing);
    auto report = run({kHeader, {"001a2b3c4d5e", "A", "1", "1", "p", "s", "1", "2", "E", "Z", ""}},
                      "missing.xml");
    ASSERT_FALSE(report);
    EXPECT_NE(report.error().message.find("{{Missing}}"), std::string::npos);
    EXPECT_NE(report.error().message.find("missing.xml"), std::string::npos);
    EXPECT_FALSE(fs::exists(m_dir / "out"));
    // Named by a row's template cell, it refuses the run just the same.
    report = run({kHeader,
                  {"001a2b3c4d5e", "A", "1", "1", "p", "s", "1", "2", "E", "Z", ""},
                  {"001a2b3c4d5f", "A", "1", "1", "p", "s", "1", "2", "E", "Z", "missing.xml"}},
                 "t.xml");
    ASSERT_FALSE(report);
    EXPECT_FALSE(fs::exists(m_dir / "out"));
}

TEST_F(TemplateFields, ARowWhoseTemplateCannotBeReadFailsAloneWithTheReason) {
    writeFile(m_dir / "broken.xml", "<Config>");
    auto report = run({kHeader,
                       {"001a2b3c4d5e", "A", "1", "1", "p", "s", "1", "2", "E", "Z", "absent.xml"},
                       {"001a2b3c4d5f", "A", "1", "1", "p", "s", "1", "2", "E", "Z", "broken.xml"},
                       {"001a2b3c4d60", "A", "1", "1", "p", "s", "1", "2", "E", "Z", ""}},
                      "t.xml");
    ASSERT_TRUE(report) << report.error().message;
    ASSERT_EQ(report->devices.size(), 3u);
    EXPECT_EQ(report->devices[0].outcome, DeviceOutcome::Failed);
    EXPECT_NE(report->devices[0].reason.find("absent.xml"), std::string::npos)
        << report->devices[0].reason;
    EXPECT_EQ(report->devices[1].outcome, DeviceOutcome::Failed);
    EXPECT_NE(report->devices[1].reason.find("broken.xml"), std::string::npos);
    EXPECT_EQ(report->devices[2].outcome, DeviceOutcome::Written);
    EXPECT_EQ(filesBelow(m_dir / "out"), std::vector<std::string>{"001a2b3c4d60.xml"});
}

// Columns B to G keep their meaning under any header a sheet made for them could have; only
// a header in braces makes one of them a field. From H on a header needs no braces.
// The check maps every column to what it fills in the templates the rows take, and names a
// column worth a look once, however many rows it has.
TEST_F(TemplateFields, TheCheckMapsTheColumnsAndNamesThoseThatFillNothingOnce) {
    std::string modelB = kTwoLines;
    modelB.replace(modelB.find("<Ext2>"), modelB.find("<TimeZone>") - modelB.find("<Ext2>"), "");
    writeFile(m_dir / "model-b.xml", modelB);
    std::vector<std::string> header = kHeader;
    header.insert(header.end(), {"My notes", "Vlan"});
    Rows rows = {header};
    for (int i = 0; i < 6; ++i) {
        rows.push_back({"001a2b3c4d6" + std::to_string(i), "A", "1", "1", "p", "s", "1", "2", "E",
                        "Z", i % 2 == 0 ? "" : "model-b.xml", "note", "10"});
    }
    const GenerationReport report = check(rows, "t.xml");
    ASSERT_EQ(report.columnFindings.size(), 4u) << generationSummaryText(report);
    EXPECT_EQ(report.columnFindings[0].english(),
              "column H (Ext2/SubscriberInformation/UserID) matches no element of model-b.xml");
    EXPECT_EQ(report.columnFindings[1].english(),
              "column I (Ext2/@Enable) matches no element of model-b.xml");
    EXPECT_EQ(report.columnFindings[2].english(),
              "column L (My notes) fills nothing: its header is neither an element path nor a "
              "placeholder name");
    EXPECT_EQ(report.columnFindings[3].english(),
              "column M (Vlan) fills nothing: no template has {{Vlan}}");
    EXPECT_TRUE(report.allWritten()) << "findings, not refusals";
    const std::string mapping = columnMappingText(report.columns);
    for (const char* line :
         {"\n  A  MAC: the MAC, which names the files and fills {{mac}}\n",
          "\n  C  User: Ext1/SubscriberInformation/UserID in " /* the run's template first */,
          "\n  H  Ext2/SubscriberInformation/UserID: Ext2/SubscriberInformation/UserID in ",
          "t.xml; no such element in model-b.xml\n", "\n  J  TimeZone: {{TimeZone}} in ",
          "\n  K  template: the row's template\n", "\n  M  Vlan: {{Vlan}} in no template"}) {
        EXPECT_NE(mapping.find(line), std::string::npos) << line << "\n" << mapping;
    }
    // A path column empty on every row of model-b asks nothing of model-b.
    Rows emptyOnB = rows;
    for (std::size_t i = 1; i < emptyOnB.size(); ++i) {
        if (emptyOnB[i][10] == "model-b.xml") emptyOnB[i][7] = emptyOnB[i][8] = "";
    }
    const GenerationReport quiet = check(emptyOnB, "t.xml");
    ASSERT_EQ(quiet.columnFindings.size(), 2u) << generationSummaryText(quiet);
    EXPECT_TRUE(quiet.columnFindings[0].english().starts_with("column L (My notes)"));
    // With every row on model-b, the run's own template is not looked at.
    for (std::size_t i = 1; i < rows.size(); ++i) rows[i][10] = "model-b.xml";
    const GenerationReport onlyB = check(rows, "t.xml");
    EXPECT_EQ(onlyB.columnFindings.size(), 4u);
    EXPECT_EQ(columnMappingText(onlyB.columns).find("t.xml"), std::string::npos)
        << columnMappingText(onlyB.columns);
}

// The check goes on past a placeholder nothing fills, so that one pass names everything, and
// says the run is refused whole.
TEST_F(TemplateFields, TheCheckOfATemplateWithAnUnfilledPlaceholderRefusesTheRunAndGoesOn) {
    std::string missing = kTwoLines;
    missing.replace(missing.find("<Config>"), 8, "<Config><X a=\"{{Missing}}\"/>");
    writeFile(m_dir / "missing.xml", missing);
    const GenerationReport report =
        check({kHeader,
               {"001a2b3c4d5e", "A", "1", "1", "", "s", "1", "2", "E", "Z", ""},
               {"not a mac", "A", "1", "1", "p", "s", "1", "2", "E", "Z", ""}},
              "missing.xml");
    EXPECT_FALSE(report.allWritten());
    EXPECT_NE(report.refusal.find("{{Missing}} in the template "), std::string::npos);
    const std::string summary = generationSummaryText(report);
    EXPECT_TRUE(summary.starts_with("Check: {{Missing}} in the template ")) << summary;
    EXPECT_NE(summary.find("row 2: checked, with Password (E) empty"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("row 3: not a MAC address"), std::string::npos) << summary;
}

// Two rows of one phone: the one used is said, with the values that differ by their names;
// rows that agree (a column that fills nothing aside) are only replaced.
TEST_F(TemplateFields, RowsOfOnePhoneThatDifferAreNamedWithTheirDifferences) {
    std::vector<std::string> header = kHeader;
    header.push_back("My notes");
    const Rows rows = {header,
                       {"001a2b3c4d5e", "A", "1", "1", "p", "s", "1", "2", "E", "Z", "", "x"},
                       {"001a2b3c4d5f", "B", "2", "2", "p", "s", "1", "2", "E", "Z", "", "x"},
                       {"00:1A:2B:3C:4D:5E", "A", "9", "1", "q", "s", "1", "3", "E", "Z", "", "y"},
                       {"001a2b3c4d5f", "B", "2", "2", "p", "s", "1", "2", "E", "Z", "", "z"}};
    const GenerationReport checked = check(rows, "t.xml");
    ASSERT_EQ(checked.devices.size(), 4u);
    EXPECT_EQ(checked.devices[0].reason,
              "rows 2 and 4 differ in UserID, Password, Ext2/SubscriberInformation/UserID; row 4 "
              "is used");
    EXPECT_TRUE(checked.devices[0].valuesDiffer);
    EXPECT_EQ(checked.devices[1].reason, "row 3: replaced by row 5");
    EXPECT_FALSE(checked.devices[1].valuesDiffer);
    auto written = run(rows, "t.xml");
    ASSERT_TRUE(written) << written.error().message;
    EXPECT_EQ(written->devices[0].reason, checked.devices[0].reason) << "the run says the same";
    EXPECT_EQ(xpathInFile(m_dir / "out" / "001A2B3C4D5E.xml", "/Config/Ext1//UserID"), "9");
}

// A default stands for an empty cell as it does for an absent column, in the spliced files
// (UTF-8) and in those serialised whole (UTF-16) alike; the check then finds nothing empty.
TEST_F(TemplateFields, ADefaultFillsAnEmptyCellAndAnEmptyCellWithADefaultIsNoFinding) {
    std::vector<std::string> header = kHeader;
    header.push_back("Label");
    const Rows rows = {header,
                       {"001a2b3c4d5e", "A", "1", "1", "p", "s", "1", "2", "E", "Z", "", ""},
                       {"001a2b3c4d5f", "B", "2", "2", "p", "s", "1", "2", "E", "Z", "", "Lobby"}};
    std::string utf16Declared = kTwoLines;
    utf16Declared.replace(utf16Declared.find("UTF-8"), 5, "UTF-16");
    std::string utf16 = "\xFF\xFE";
    for (char c : utf16Declared) utf16 += std::string{c, '\0'};
    writeFile(m_dir / "t16.xml", utf16);
    for (const char* templateName : {"t.xml", "t16.xml"}) {
        fs::remove_all(m_dir / "out");
        auto report = run(rows, templateName);
        ASSERT_TRUE(report) << report.error().message;
        EXPECT_EQ(xpathInFile(m_dir / "out" / "001a2b3c4d5e.xml", "/Config/Label"), "Desk")
            << templateName;
        EXPECT_EQ(xpathInFile(m_dir / "out" / "001a2b3c4d5e.xml", "/Config/Note"), "row 2 & x")
            << templateName;
        EXPECT_EQ(xpathInFile(m_dir / "out" / "001a2b3c4d5f.xml", "/Config/Label"), "Lobby")
            << templateName;
        EXPECT_EQ(report->withEmptyValues(), 0u) << generationSummaryText(*report);
    }
    fs::remove_all(m_dir / "out");
    const GenerationReport checked = check(rows, "t.xml");
    EXPECT_TRUE(checked.devices[0].emptyElements.empty()) << checked.devices[0].reason;
    // Without the default the same empty cell is worth a word.
    std::string noDefault = kTwoLines;
    noDefault.replace(noDefault.find("{{Label|Desk}}"), 14, "{{Label}}");
    noDefault.replace(noDefault.find("{{Label|x}}"), 11, "{{Label}}");
    writeFile(m_dir / "plain.xml", noDefault);
    const GenerationReport bare = check(rows, "plain.xml");
    ASSERT_EQ(bare.devices[0].emptyElements.size(), 1u) << bare.devices[0].reason;
    EXPECT_NE(bare.devices[0].emptyElements[0].find("Label"), std::string::npos);
}

// A CDATA section holds its text as it is, with no character references: in a template whose
// encoding lacks one of a value's characters, the row is refused with the reason; wherever the
// row is written, the value a parser reads back from the section is the cell's, "]]>" and
// all, for every encoding a template may declare.
TEST_F(TemplateFields, AValueInCdataReadsBackWholeOrItsRowIsRefusedInEveryEncoding) {
    const std::string value = "Пётр €5 ]]> end";
    const Rows rows = {{"MAC", "Name", "User", "Auth", "Password", "Proxy", "Port", "Label"},
                       {"001a2b3c4d5e", "", "", "", "", "", "", value}};
    const auto utf16 = [](const std::string& ascii) {
        std::string bytes = "\xFF\xFE";
        for (char c : ascii) bytes += std::string{c, '\0'};
        return bytes;
    };
    std::size_t written = 0;
    for (const char* encoding :
         {"UTF-8", "UTF-16", "ISO-8859-1", "ISO-8859-2", "ISO-8859-5", "ISO-8859-15",
          "windows-1251", "windows-1252", "KOI8-R", "US-ASCII", "GB2312", "GBK", "GB18030", "Big5",
          "EUC-JP", "Shift_JIS", "EUC-KR"}) {
        SCOPED_TRACE(encoding);
        const std::string text = std::string("<?xml version=\"1.0\" encoding=\"") + encoding +
                                 "\"?>\n<Config><Label><![CDATA[{{Label}}]]></Label>"
                                 "<Plain>{{Label}}</Plain></Config>\n";
        writeFile(m_dir / "c.xml", std::string_view(encoding) == "UTF-16" ? utf16(text) : text);
        fs::remove_all(m_dir / "out");
        auto report = run(rows, "c.xml");
        ASSERT_TRUE(report) << report.error().message;
        const DeviceResult& device = report->devices.at(0);
        if (device.outcome == DeviceOutcome::Failed) {
            EXPECT_NE(device.reason.find("row 2, column H (Label): its character "),
                      std::string::npos)
                << device.reason;
            EXPECT_NE(device.reason.find(std::string("template's encoding ") + encoding),
                      std::string::npos)
                << device.reason;
            EXPECT_FALSE(fs::exists(m_dir / "out" / "001a2b3c4d5e.xml"));
            continue;
        }
        ASSERT_EQ(device.outcome, DeviceOutcome::Written) << device.reason;
        ++written;
        const fs::path file = m_dir / "out" / "001a2b3c4d5e.xml";
        EXPECT_EQ(xpathInFile(file, "/Config/Label"), value) << readFile(file);
        EXPECT_EQ(xpathInFile(file, "/Config/Plain"), value) << readFile(file);
    }
    EXPECT_GE(written, 4u) << "UTF-8, UTF-16, GB18030 and windows-1251 have every character";
}

// Empty cells are named by row and column, the first five rows, then a count.
TEST_F(TemplateFields, EmptyCellsAreNamedByRowAndColumnFiveRowsThenACount) {
    Rows rows = {kHeader};
    for (int i = 0; i < 7; ++i) {
        rows.push_back({"001a2b3c4d6" + std::to_string(i), "A", "1", "1", i == 0 ? "" : "p", "s",
                        "1", "2", "E", i == 0 ? "" : "Z", ""});
    }
    for (std::size_t i = 2; i < rows.size(); ++i) rows[i][5] = "";  // no proxy on rows 3 to 8
    const GenerationReport report = check(rows, "t.xml");
    const std::vector<support::Phrase> found = emptyValuesFindings(report);
    ASSERT_EQ(found.size(), 6u);
    EXPECT_EQ(found[0].english(), "row 2: checked, with Password (E), TimeZone (J) empty");
    EXPECT_EQ(found[4].english(), "row 6: checked, with Proxy (F) empty");
    EXPECT_EQ(found[5].english(), "... and 2 more rows");
}

TEST(SheetHeader, FixedColumnsStayFixedUnlessWrittenInBraces) {
    const SheetFields seed({"MAC", "Name", "User/ID", "Auth", "template", "Proxy", "Port"}, 7);
    EXPECT_TRUE(seed.empty()) << "free text, a path and 'template' in B to G";
    for (int entry = 1; entry < 7; ++entry) EXPECT_TRUE(seed.isSeedColumn(entry));

    const SheetFields fields({"MAC", "{{Label}}", "User", "", "", "", "", "Ext2/@Enable",
                              "Notes (office)", "TEMPLATE", "Time.Zone", "a/b c"},
                             13);
    ASSERT_EQ(fields.columns().size(), 6u);
    EXPECT_EQ(fields.columns()[0].kind, FieldKind::Placeholder);
    EXPECT_EQ(fields.columns()[0].name, "Label");
    EXPECT_FALSE(fields.isSeedColumn(1)) << "B is the Label field now";
    EXPECT_TRUE(fields.isSeedColumn(2));
    EXPECT_EQ(fields.columns()[1].kind, FieldKind::Path);
    EXPECT_EQ(fields.columns()[1].path, (ElementPath{{"Ext2"}, "Enable"}));
    EXPECT_EQ(fields.columns()[2].kind, FieldKind::Unused);
    EXPECT_EQ(fields.templateEntry(), 9);
    EXPECT_EQ(fields.placeholderEntry("Time.Zone"), 10);
    EXPECT_EQ(fields.columns()[5].kind, FieldKind::Unused) << "a/b c is no path";
    EXPECT_EQ(fields.placeholderEntry("mac"), fields.macEntry());
    EXPECT_EQ(fields.placeholderEntry("Nothing"), std::nullopt);
}

// The form files are spliced from gives the bytes the tree gives, for paths, attributes and
// placeholders alike; a value the template's encoding needs the serialiser for still works.
TEST(TemplateSplicing, TheSplicedFileEqualsTheSerialisedTree) {
    for (const char* encoding : {"UTF-8", "ISO-8859-1"}) {
        std::string text = kTwoLines;
        text.replace(text.find("UTF-8"), 5, encoding);
        auto configTemplate = ConfigTemplate::loadTemplateFromMemory(text, "t.xml");
        ASSERT_TRUE(configTemplate) << configTemplate.error().message;
        const SheetFields fields(kHeader, static_cast<int>(kHeader.size()));
        auto use = configTemplate->prepare(fields);
        ASSERT_TRUE(use);
        EXPECT_TRUE(use->missingPlaceholders.empty());
        EXPECT_TRUE(configTemplate->hasCompiledOutput()) << encoding;
        for (const std::vector<std::string>& cells :
             {std::vector<std::string>{"m", "A & B", "1", "1", "p", "s", "1", "<2>", "E\"q\"",
                                       "Zone\tTab", ""},
              std::vector<std::string>{"m", "", "", "", "", "", "", "", "", "", ""},
              std::vector<std::string>{"m", "Zoë", "1", "1", "p", "s", "1", "2", "é", "ü", ""},
              // every character either escape knows, in text and in an attribute
              std::vector<std::string>{"m", "a\r\nb<&>", "1", "1", "p\"'", "s", "1", "\t<2>\n",
                                       "E\"q\"\t\n\r&<>", "&Zone\r\n", ""}}) {
            DeviceRow row{7, cells, "001A2B3C4D5E"};
            ASSERT_TRUE(configTemplate->ApplyDeviceRow(row));
            auto spliced = configTemplate->serializeDocument();
            auto tree = configTemplate->serializeTree();
            ASSERT_TRUE(spliced && tree);
            EXPECT_EQ(*spliced, *tree) << encoding << " " << cells[1];
        }
    }
}

}  // namespace
}  // namespace velquor::generator
