// Fields from any column: element paths, placeholders with and without defaults, a template
// per row, and the rule that keeps a sheet made for the fixed columns as it was.
#include "generator/template_fields.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "generator/config_template.h"
#include "generator/generation_job.h"
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
              std::vector<std::string>{"m", "Zoë", "1", "1", "p", "s", "1", "2", "é", "ü", ""}}) {
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
