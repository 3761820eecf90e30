// The XML template: which elements a device row edits, what stays as it was, the
// declaration and encoding of saved files, and the templates that must be refused.
#include "generator/template/config_template.h"

#include <gtest/gtest.h>

#include "generator_fixtures.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

using test::kTemplate;
using test::xpathCount;
using test::xpathText;

ConfigTemplate load(const std::string& xml) {
    auto loaded = ConfigTemplate::loadTemplateFromMemory(xml, "template.xml");
    if (!loaded) throw std::runtime_error(loaded.error().message);
    return std::move(loaded).value();
}

DeviceRow row(std::vector<std::string> cells, int sheetRow = 2) {
    return DeviceRow{sheetRow, std::move(cells)};
}

const DeviceRow kDevice =
    row({"001122334455", "Reception", "2001", "3001", "secret", "proxy.lan", "5062"});

// The saved form of xml after one row. Every test that goes through here also checks that
// the spliced form equals a full serialisation of the edited tree.
std::string applied(const std::string& xml, const DeviceRow& device = kDevice) {
    ConfigTemplate configTemplate = load(xml);
    auto status = configTemplate.ApplyDeviceRow(device);
    if (!status) throw std::runtime_error(status.error().message);
    const std::string saved = configTemplate.serializeDocument().value();
    EXPECT_EQ(saved, configTemplate.serializeTree().value()) << xml;
    return saved;
}

std::string serialisedAsLoaded(const std::string& xml) {
    return load(xml).serializeDocument().value();
}

TEST(ConfigTemplate, WritesEachColumnIntoItsElementAndLeavesTheRestAlone) {
    const std::string out = applied(kTemplate);
    EXPECT_EQ(xpathText(out, "/Config/Ext1/@Enable"), "Enable");
    EXPECT_EQ(xpathText(out, "//SubscriberInformation/DisplayName"), "Reception");
    EXPECT_EQ(xpathText(out, "//SubscriberInformation/UserID"), "2001");
    EXPECT_EQ(xpathText(out, "//SubscriberInformation/AuthID"), "3001");
    EXPECT_EQ(xpathText(out, "//SubscriberInformation/Password"), "secret");
    // The proxy comes from column F and the SIP port from column G, not both from G.
    EXPECT_EQ(xpathText(out, "//ProxyandRegistration/Proxy"), "proxy.lan");
    EXPECT_EQ(xpathText(out, "//SIPSettings/SIPPort"), "5062");

    EXPECT_EQ(xpathText(out, "//SubscriberInformation/Voicemail"), "*97");
    EXPECT_EQ(xpathText(out, "//SIPSettings/Transport"), "UDP");
    EXPECT_EQ(xpathText(out, "/Config/@version"), "2");
    EXPECT_EQ(xpathText(out, "/comment()"), " phone configuration ");
    EXPECT_EQ(xpathText(out, "//processing-instruction('vendor')"), "keep-me");
    EXPECT_NE(out.find("<![CDATA[a < b]]>"), std::string::npos);
    // Node order is kept: the untouched sections stay where they were.
    EXPECT_LT(out.find("<System>"), out.find("<Ext1"));
    EXPECT_LT(out.find("</Ext1>"), out.find("<Network>"));
    EXPECT_TRUE(out.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
}

TEST(ConfigTemplate, ElementsOutsideTheThreeSearchedLevelsOrNamedOtherwiseAreNotEdited) {
    const std::string nested =
        "<Config><Wrapper><Ext1><SubscriberInformation><UserID>100</UserID>"
        "</SubscriberInformation></Ext1></Wrapper></Config>";
    EXPECT_EQ(applied(nested), serialisedAsLoaded(nested));

    const std::string otherCase =
        "<Config><Ext1><SIPSettings><sipport>1</sipport><SIPPort>2</SIPPort></SIPSettings>"
        "<subscriberinformation><UserID>100</UserID></subscriberinformation></Ext1></Config>";
    const std::string out = applied(otherCase);
    EXPECT_EQ(xpathText(out, "//sipport"), "1");
    EXPECT_EQ(xpathText(out, "//SIPPort"), "5062");
    EXPECT_EQ(xpathText(out, "//subscriberinformation/UserID"), "100");

    const std::string prefixed =
        "<Config xmlns:p=\"urn:p\"><p:Ext1><SubscriberInformation><UserID>1</UserID>"
        "</SubscriberInformation></p:Ext1><Ext1><SubscriberInformation><p:UserID>2</p:UserID>"
        "</SubscriberInformation></Ext1></Config>";
    const std::string prefixedOut = applied(prefixed);
    EXPECT_EQ(xpathCount(prefixedOut, "//*[local-name()='UserID' and text()='2001']"), 0);
    EXPECT_EQ(xpathCount(prefixedOut, "//*[@Enable]"), 1);

    // A default namespace adds no prefix, so its elements keep their plain names.
    const std::string defaultNamespace =
        "<Config xmlns=\"urn:d\"><Ext1><SubscriberInformation><UserID>1</UserID>"
        "</SubscriberInformation></Ext1></Config>";
    EXPECT_EQ(xpathText(applied(defaultNamespace), "//*[local-name()='UserID']"), "2001");
}

TEST(ConfigTemplate, ACommentOrTextBeforeAnElementHidesItButIndentationDoesNot) {
    const std::string xml =
        "<Config>\n  <Ext1>\n    <SubscriberInformation>\n      <!-- account -->\n"
        "      <DisplayName>a</DisplayName>\n      <UserID>100</UserID>\n"
        "    </SubscriberInformation>\n    <SIPSettings>\n      <SIPPort>1</SIPPort>\n"
        "    </SIPSettings>\n  </Ext1>\n</Config>\n";
    const std::string out = applied(xml);
    EXPECT_EQ(xpathText(out, "//DisplayName"), "a");
    EXPECT_EQ(xpathText(out, "//UserID"), "100");
    EXPECT_EQ(xpathText(out, "//SIPPort"), "5062");
    EXPECT_EQ(xpathText(out, "//comment()"), " account ");

    const std::string textFirst =
        "<Config><Ext1>note<SubscriberInformation><UserID>1</UserID></SubscriberInformation>"
        "</Ext1></Config>";
    EXPECT_EQ(xpathText(applied(textFirst), "//UserID"), "1");
}

TEST(ConfigTemplate, RepeatedElementsAllTakeTheRowAndEnableIsOverwritten) {
    const std::string xml =
        "<Config><Ext1 Enable=\"No\"><ProxyandRegistration><Proxy>a</Proxy><Proxy>b</Proxy>"
        "</ProxyandRegistration></Ext1><Ext1><SubscriberInformation><UserID>1</UserID>"
        "</SubscriberInformation></Ext1></Config>";
    const std::string out = applied(xml);
    EXPECT_EQ(xpathCount(out, "/Config/Ext1[@Enable='Enable']"), 2);
    EXPECT_EQ(xpathCount(out, "//Ext1[@Enable='No']"), 0);
    EXPECT_EQ(xpathCount(out, "//Proxy[text()='proxy.lan']"), 2);
    EXPECT_EQ(xpathText(out, "/Config/Ext1[2]//UserID"), "2001");
}

TEST(ConfigTemplate, ValuesAreStoredAsTextWhateverCharactersTheyHold) {
    const std::string tricky = "R&D <x> \"q\" 'a' &amp; ]]> 张三";
    const std::string out =
        applied(kTemplate, row({"m", tricky, "", "a\tb", "p<>&\"'", "proxy", "5060"}));
    EXPECT_EQ(xpathText(out, "//DisplayName"), tricky);
    EXPECT_EQ(xpathText(out, "//Password"), "p<>&\"'");
    EXPECT_EQ(xpathText(out, "//AuthID"), "a\tb");
    // An empty value leaves the element empty; the CDATA it held is gone.
    EXPECT_EQ(xpathCount(out, "//UserID/node()"), 0);
    EXPECT_EQ(xpathCount(out, "//Password/node()"), 1);
    EXPECT_EQ(out.find("old&secret"), std::string::npos);
}

TEST(ConfigTemplate, EachRowOverwritesThePreviousRowsValues) {
    ConfigTemplate configTemplate = load(kTemplate);
    ASSERT_TRUE(configTemplate.ApplyDeviceRow(kDevice));
    ASSERT_TRUE(configTemplate.ApplyDeviceRow(row({"m2", "Second", "9", "9", "", "p2", "7"}, 3)));
    const std::string out = configTemplate.serializeDocument().value();
    EXPECT_EQ(xpathText(out, "//DisplayName"), "Second");
    EXPECT_EQ(xpathCount(out, "//Password/node()"), 0);
    EXPECT_EQ(out.find("Reception"), std::string::npos);
}

// A row's cells taken where they lie (the run's own table): the columns past the last cell
// that shows something read as empty up to the sheet's width, and a row refused after a good
// one leaves the good one's file, whoever held its texts.
TEST(ConfigTemplate, CellsTakenInPlaceReadAsEmptyUpToTheSheetsWidth) {
    ConfigTemplate configTemplate = load(kTemplate);
    const std::vector<std::string_view> shown{"001122334455", "Lobby", "2002"};
    ASSERT_TRUE(configTemplate.applyCells(4, shown, 7, "001122334455"));
    const std::string lobby = configTemplate.serializeDocument().value();
    EXPECT_EQ(lobby, configTemplate.serializeTree().value());
    EXPECT_EQ(xpathText(lobby, "//DisplayName"), "Lobby");
    EXPECT_EQ(xpathCount(lobby, "//Password/node()"), 0);
    EXPECT_EQ(configTemplate.emptyElementsFor(shown),
              (std::vector<std::string>{"AuthID (D)", "Password (E)", "Proxy (F)", "SIPPort (G)"}));

    EXPECT_FALSE(configTemplate.applyCells(5, shown, 3, "001122334455"));
    EXPECT_FALSE(configTemplate.ApplyDeviceRow(row({"m", "n", "u", "a", "p"}, 6)));
    EXPECT_EQ(configTemplate.serializeDocument().value(), lobby);
}

TEST(ConfigTemplate, ARowTooShortFailsNamingRowAndColumnAndChangesNothing) {
    ConfigTemplate configTemplate = load(kTemplate);
    const std::string before = configTemplate.serializeDocument().value();
    auto status = configTemplate.ApplyDeviceRow(row({"m", "n", "u", "a", "p"}, 7));
    ASSERT_FALSE(status);
    EXPECT_NE(status.error().message.find("row 7"), std::string::npos);
    EXPECT_NE(status.error().message.find("column G"), std::string::npos) << status.error().message;
    EXPECT_EQ(configTemplate.serializeDocument().value(), before);

    // Five columns are enough when the template has no SIPPort and no Proxy.
    const std::string accountOnly =
        "<Config><Ext1><SubscriberInformation><Password>x</Password></SubscriberInformation>"
        "</Ext1></Config>";
    EXPECT_EQ(xpathText(applied(accountOnly, row({"m", "n", "u", "a", "p"})), "//Password"), "p");
    EXPECT_EQ(load(accountOnly).highestEntryNeeded(), column::kPassword);
    EXPECT_EQ(load("<Config><Ext1/></Config>").highestEntryNeeded(), -1);
}

TEST(ConfigTemplate, AValueXmlCannotCarryFailsTheRow) {
    ConfigTemplate configTemplate = load(kTemplate);
    auto control = configTemplate.ApplyDeviceRow(row({"m",
                                                      "a\x01"
                                                      "b",
                                                      "u", "a", "p", "x", "1"},
                                                     4));
    ASSERT_FALSE(control);
    EXPECT_NE(control.error().message.find("row 4, column B"), std::string::npos);
    EXPECT_NE(control.error().message.find("U+0001"), std::string::npos);
    EXPECT_FALSE(configTemplate.ApplyDeviceRow(row({"m", "\xff\xfe", "u", "a", "p", "x", "1"})));
    EXPECT_FALSE(
        configTemplate.ApplyDeviceRow(row({"m", "n", "u", "a", "\xed\xa0\x80", "x", "1"})));
}

TEST(ConfigTemplate, TheDeclarationIsKeptAsWrittenOrLeftOut) {
    const std::string none = "<Config><Ext1/></Config>";
    EXPECT_TRUE(applied(none).starts_with("<Config>\n  <Ext1 Enable=\"Enable\"/>\n</Config>"));
    EXPECT_NE(applied(none, row({"m", "张三"})).find("<?xml"), 0u);

    const std::string single = "<?xml version='1.0' standalone='yes' ?>\n<Config/>";
    EXPECT_TRUE(applied(single).starts_with("<?xml version='1.0' standalone='yes' ?>\n<Config/>"));

    const std::string bom =
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><C><Ext1>"
        "<SubscriberInformation><DisplayName/></SubscriberInformation>"
        "</Ext1></C>";
    const std::string out = applied(bom, row({"m", "张三"}));
    EXPECT_TRUE(out.starts_with("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"));
    // UTF-8 output carries characters as they are, not as references.
    EXPECT_NE(out.find("张三"), std::string::npos);
}

TEST(ConfigTemplate, AGb2312TemplateIsReadAsGbkAndSavedInGb2312) {
    // 你好 in GB2312, then 旻 (0x95 0x46), a character only GBK has.
    const std::string xml = std::string("<?xml version=\"1.0\" encoding=\"GB2312\"?>\n") +
                            "<Config><Note>\xC4\xE3\xBA\xC3\x95\x46</Note><Ext1>"
                            "<SubscriberInformation><DisplayName/></SubscriberInformation>"
                            "</Ext1></Config>";
    ConfigTemplate configTemplate = load(xml);
    EXPECT_EQ(configTemplate.encodingName(), "GB2312");
    ASSERT_TRUE(configTemplate.ApplyDeviceRow(row({"m", "前台 张三 😀"})));
    const std::string out = configTemplate.serializeDocument().value();
    EXPECT_TRUE(out.starts_with("<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"));
    // 前台 张三 as GB2312 bytes; the emoji has no GB2312 code and becomes a reference.
    EXPECT_NE(out.find("\xC7\xB0\xCC\xA8 \xD5\xC5\xC8\xFD &#128512;"), std::string::npos) << out;
    EXPECT_EQ(xpathText(out, "//DisplayName"), "前台 张三 😀");
    EXPECT_EQ(xpathText(out, "//Note"), "你好\xE6\x97\xBB");
}

TEST(ConfigTemplate, Latin1AndUtf16TemplatesKeepTheirEncoding) {
    const std::string latin1 =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><C><N>caf\xE9</N>"
        "<Ext1><SubscriberInformation><DisplayName/>"
        "</SubscriberInformation></Ext1></C>";
    const std::string out = applied(latin1, row({"m", "Zoë 张"}));
    EXPECT_NE(out.find("<N>caf\xE9</N>"), std::string::npos);
    EXPECT_NE(out.find("Zo\xEB &#24352;"), std::string::npos) << out;
    EXPECT_EQ(xpathText(out, "//DisplayName"), "Zoë 张");

    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><C><Ext1>"
                              "<SubscriberInformation><UserID/></SubscriberInformation>"
                              "</Ext1></C>")) {
        utf16 += c;
        utf16 += '\0';
    }
    const std::string saved = applied(utf16, row({"m", "n", "2001"}));
    ASSERT_GE(saved.size(), 4u);
    EXPECT_EQ(saved.substr(0, 4), std::string("\xFF\xFE<\0", 4));
    EXPECT_EQ(xpathText(saved, "//UserID"), "2001");
}

TEST(ConfigTemplate, UnsafeOrBrokenTemplatesAreRefusedWithTheReason) {
    auto refused = [](const std::string& xml) {
        auto loaded = ConfigTemplate::loadTemplateFromMemory(xml, "t.xml");
        EXPECT_FALSE(loaded) << xml;
        return loaded ? std::string() : loaded.error().message;
    };
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE C [<!ENTITY a \"aaaaaaaaaa\">";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY " + std::string(1, static_cast<char>('a' + i)) + " \"";
        for (int j = 0; j < 10; ++j)
            laughs += "&" + std::string(1, static_cast<char>('a' + i - 1)) + ";";
        laughs += "\">";
    }
    laughs += "]><C>&j;</C>";
    EXPECT_NE(refused(laughs).find("DOCTYPE"), std::string::npos);
    EXPECT_NE(refused("<!DOCTYPE C SYSTEM \"http://127.0.0.1:9/x.dtd\"><C/>").find("DOCTYPE"),
              std::string::npos);

    const std::string broken = refused("<?xml version=\"1.0\"?>\n<C>\n<Ext1>\n</C>");
    EXPECT_NE(broken.find("t.xml"), std::string::npos);
    EXPECT_NE(broken.find("line 4"), std::string::npos) << broken;
    EXPECT_NE(refused("").find("empty"), std::string::npos);
    refused("just text");
    refused("<?xml version=\"1.0\" encoding=\"NO-SUCH-ENCODING\"?><C/>");
    // GBK-only text in a comment has no GB2312 code and cannot become a reference there.
    const std::string noGb2312 =
        refused("<?xml version=\"1.0\" encoding=\"GB2312\"?><C><!-- \x95\x46 --><Ext1/></C>");
    EXPECT_NE(noGb2312.find("GB2312"), std::string::npos) << noGb2312;
    const std::string badBytes =
        refused("<?xml version=\"1.0\" encoding=\"GB2312\"?><C>\xFF\x01</C>");
    EXPECT_NE(badBytes.find("t.xml"), std::string::npos) << badBytes;
    // A compressed file is not inflated behind the caller's back.
    refused(std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
}

TEST(ConfigTemplate, IncludesAreNotFollowed) {
    const std::string xml =
        "<Config xmlns:xi=\"http://www.w3.org/2001/XInclude\"><xi:include href=\"/etc/passwd\" "
        "parse=\"text\"/><Ext1/></Config>";
    const std::string out = applied(xml);
    EXPECT_EQ(out.find("root:"), std::string::npos);
    EXPECT_EQ(xpathCount(out, "//*[local-name()='include']"), 1);
}

TEST(ConfigTemplate, LoadTemplateReadsTheFileAndSaveDeviceFileReplacesTheTarget) {
    velquor::testing::TempDir dir;
    EXPECT_NE(ConfigTemplate::LoadTemplate((dir / "missing.xml").string())
                  .error()
                  .message.find("missing.xml"),
              std::string::npos);
    EXPECT_FALSE(ConfigTemplate::LoadTemplate(dir.path().string()));
    EXPECT_FALSE(ConfigTemplate::LoadTemplate(""));

    velquor::testing::writeFile(dir / "t.xml", kTemplate);
    auto configTemplate = ConfigTemplate::LoadTemplate((dir / "t.xml").string());
    ASSERT_TRUE(configTemplate) << configTemplate.error().message;
    ASSERT_TRUE(configTemplate->ApplyDeviceRow(kDevice));
    velquor::testing::writeFile(dir / "out.xml", "old content that is longer than nothing");
    ASSERT_TRUE(configTemplate->SaveDeviceFile((dir / "out.xml").string()));
    EXPECT_EQ(velquor::testing::readFile(dir / "out.xml"),
              configTemplate->serializeDocument().value());
    EXPECT_FALSE(configTemplate->SaveDeviceFile((dir / "no-such-folder" / "x.xml").string()));
    EXPECT_EQ(test::filesBelow(dir.path()), (std::vector<std::string>{"out.xml", "t.xml"}));
}

TEST(ConfigTemplate, TheSplicedFormMatchesTheTreeForEveryKindOfValue) {
    const std::string withAttributes =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<C><Ext1><SubscriberInformation>"
        "<DisplayName lang=\"en\">x</DisplayName><UserID><b>bold</b>tail</UserID><AuthID/>"
        "<Password/></SubscriberInformation><SubscriberInformation><UserID/>"
        "</SubscriberInformation><SIPSettings><SIPPort/><SIPPort>1</SIPPort></SIPSettings>"
        "</Ext1><Ext1><ProxyandRegistration><Proxy/></ProxyandRegistration></Ext1></C>";
    ASSERT_TRUE(load(withAttributes).hasCompiledOutput());
    const std::vector<std::vector<std::string>> rows = {
        {"m", "", "", "", "", "", ""},
        {"m", "a", "b", "c", "d", "e", "f"},
        {"m", "line\r\nbreak", "<&>", "\"'", "\t", "]]>", "张三"},
        {"m", "", "x", "", "y", "", "z"},
    };
    for (const auto& cells : rows) {
        applied(withAttributes, row(cells));
        applied(kTemplate, row(cells));
        applied(
            "<?xml version=\"1.0\" encoding=\"GB2312\"?><C><Ext1><SubscriberInformation>"
            "<DisplayName/><UserID/></SubscriberInformation></Ext1></C>",
            row(cells));
    }
    EXPECT_FALSE(load(std::string("\xFF\xFE<\0C\0/\0>\0", 10)).hasCompiledOutput());
}

TEST(ConfigTemplate, ColumnLettersFollowTheSheet) {
    EXPECT_EQ(columnLetters(0), "A");
    EXPECT_EQ(columnLetters(6), "G");
    EXPECT_EQ(columnLetters(25), "Z");
    EXPECT_EQ(columnLetters(26), "AA");
}

}  // namespace
}  // namespace velquor::generator
