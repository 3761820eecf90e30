// The xmlsafe lock-down: an external entity stays unread even for a parser that asks libxml2
// to substitute entities and load DTDs, and diagnostics are caught, not printed.
#include "xmlsafe/xml_safety.h"

#include <gtest/gtest.h>
#include <libxml/tree.h>

#include "temp_dir.h"

namespace velquor::xmlsafe {
namespace {

using velquor::testing::TempDir;
using velquor::testing::writeFile;

std::string serialised(xmlDocPtr doc) {
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &text, &size);
    std::string result(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
    xmlFree(text);
    return result;
}

TEST(XmlSafety, ExternalEntitiesAreNeverReadEvenWhenAParserAsksForThem) {
    initialise();
    TempDir dir;
    writeFile(dir / "secret.txt", "the-secret-value");
    writeFile(dir / "outer.dtd", "<!ENTITY leak SYSTEM \"secret.txt\">");
    const std::string file = "file://" + (dir / "secret.txt").string();
    const std::string dtd = "file://" + (dir / "outer.dtd").string();
    const std::string documents[] = {
        "<!DOCTYPE r [<!ENTITY leak SYSTEM \"" + file + "\">]><r>&leak;</r>",
        "<!DOCTYPE r SYSTEM \"" + dtd + "\"><r>&leak;</r>",
    };
    for (const std::string& xml : documents) {
        DiagnosticCapture quiet;
        xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                      kParseOptions | XML_PARSE_NOENT | XML_PARSE_DTDLOAD);
        if (doc == nullptr) continue;  // refusing the document outright is as good
        EXPECT_EQ(serialised(doc).find("the-secret-value"), std::string::npos) << xml;
        xmlFreeDoc(doc);
    }
}

void recordOutside(void* calls, xmlErrorPtr) {
    ++*static_cast<int*>(calls);
}

TEST(XmlSafety, DiagnosticCaptureKeepsTheFirstMessageAndPutsTheOldHandlerBack) {
    initialise();
    int outsideCalls = 0;
    xmlSetStructuredErrorFunc(&outsideCalls, recordOutside);
    {
        DiagnosticCapture capture;
        const std::string broken = "<a><b></a>";
        xmlDocPtr doc = xmlReadMemory(broken.data(), static_cast<int>(broken.size()), nullptr,
                                      nullptr, kParseOptions);
        if (doc != nullptr) xmlFreeDoc(doc);
        EXPECT_FALSE(capture.first().empty());
        EXPECT_NE(capture.first().back(), '\n');
        EXPECT_EQ(outsideCalls, 0);
    }
    const std::string broken = "<a>";
    xmlDocPtr doc = xmlReadMemory(broken.data(), static_cast<int>(broken.size()), nullptr, nullptr,
                                  kParseOptions);
    if (doc != nullptr) xmlFreeDoc(doc);
    EXPECT_GT(outsideCalls, 0);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

}  // namespace
}  // namespace velquor::xmlsafe
