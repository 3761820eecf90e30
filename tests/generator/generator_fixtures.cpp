// Shared fixtures of the generator tests; see generator_fixtures.h.
#include "generator_fixtures.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <stdexcept>

#include "temp_dir.h"

namespace velquor::generator::test {

const char* const kTemplate = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- phone configuration -->
<Config version="2">
  <System>
    <TimeZone>+8</TimeZone>
  </System>
  <Ext1 Enable="Disable">
    <SIPSettings>
      <SIPPort>5060</SIPPort>
      <Transport>UDP</Transport>
    </SIPSettings>
    <ProxyandRegistration>
      <Proxy>proxy.old</Proxy>
      <Expires>3600</Expires>
    </ProxyandRegistration>
    <SubscriberInformation>
      <DisplayName>Old Name</DisplayName>
      <UserID>100</UserID>
      <AuthID>100</AuthID>
      <Password><![CDATA[old&secret]]></Password>
      <Voicemail>*97</Voicemail>
    </SubscriberInformation>
    <?vendor keep-me?>
  </Ext1>
  <Network><![CDATA[a < b]]></Network>
</Config>
)";

Rows deviceSheet(int devices) {
    Rows rows{{"MAC", "Display name", "User ID", "Auth ID", "Password", "Proxy", "SIP port"}};
    for (int i = 1; i <= devices; ++i) {
        const std::string n = std::to_string(i);
        rows.push_back({"0011223344" + std::string(n.size() < 2 ? "0" : "") + n, "Name " + n,
                        "20" + n, "30" + n, "pw" + n, "proxy" + n + ".lan", "50" + n});
    }
    return rows;
}

std::string csvText(const Rows& rows) {
    std::string text;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string& cell = row[c];
            if (c > 0) text += ',';
            if (cell.find_first_of(",\"\r\n") == std::string::npos) {
                text += cell;
                continue;
            }
            text += '"';
            for (char ch : cell) text += ch == '"' ? std::string("\"\"") : std::string(1, ch);
            text += '"';
        }
        text += "\r\n";
    }
    return text;
}

void writeCsv(const std::filesystem::path& path, const Rows& rows) {
    velquor::testing::writeFile(path, csvText(rows));
}

void writeXlsx(const std::filesystem::path& path, const Rows& rows) {
    const std::filesystem::path csv = path.string() + ".source.csv";
    writeCsv(csv, rows);
    const std::string script =
        "import csv, sys, openpyxl\n"
        "wb = openpyxl.Workbook(); ws = wb.active\n"
        "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
        "    for r in csv.reader(f):\n"
        "        ws.append([int(c) if c.isdigit() and not c.startswith('0') else c for c in r])\n"
        "wb.save(sys.argv[2])\n";
    int status = -1;
    velquor::testing::runCommand("/usr/bin/python3 -c " + velquor::testing::shellQuote(script) +
                                     " " + velquor::testing::shellQuote(csv.string()) + " " +
                                     velquor::testing::shellQuote(path.string()),
                                 &status);
    std::filesystem::remove(csv);
    if (status != 0) throw std::runtime_error("python3-openpyxl could not write " + path.string());
}

namespace {

template <typename Use>
auto withXPath(const std::string& xml, const std::string& expression, Use use) {
    xmlDocPtr doc =
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (doc == nullptr) throw std::runtime_error("not well-formed XML:\n" + xml);
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    xmlXPathObjectPtr found = xmlXPathEvalExpression(BAD_CAST expression.c_str(), context);
    if (found == nullptr) throw std::runtime_error("bad XPath " + expression);
    auto result = use(found->nodesetval);
    xmlXPathFreeObject(found);
    xmlXPathFreeContext(context);
    xmlFreeDoc(doc);
    return result;
}

}  // namespace

std::optional<std::string> xpathText(const std::string& xml, const std::string& expression) {
    return withXPath(xml, expression, [](xmlNodeSetPtr nodes) -> std::optional<std::string> {
        if (nodes == nullptr || nodes->nodeNr == 0) return std::nullopt;
        xmlChar* content = xmlNodeGetContent(nodes->nodeTab[0]);
        std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
        xmlFree(content);
        return text;
    });
}

std::optional<std::string> xpathInFile(const std::filesystem::path& file,
                                       const std::string& expression) {
    return xpathText(velquor::testing::readFile(file), expression);
}

int xpathCount(const std::string& xml, const std::string& expression) {
    return withXPath(xml, expression,
                     [](xmlNodeSetPtr nodes) { return nodes == nullptr ? 0 : nodes->nodeNr; });
}

std::vector<std::string> filesBelow(const std::filesystem::path& folder) {
    std::vector<std::string> files;
    if (!std::filesystem::exists(folder)) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().filename() != "MD5SUMS") {
            files.push_back(std::filesystem::relative(entry.path(), folder).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace velquor::generator::test
