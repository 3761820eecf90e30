// The workbook reader: package relationships lead to the workbook, the workbook's to its
// styles, shared strings and the active sheet, whose cells are streamed into SheetData.
// Nothing is sized from counts the file declares; every part is parsed as a stream.
#include "sheet/xlsx_reader.h"

#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "sheet/worksheet_reader.h"
#include "sheet/xlsx_common.h"
#include "sheet/xml_stream.h"
#include "sheet/zip_archive.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;
using support::Phrase;

namespace {

constexpr std::size_t kMaxStyles = 65536;  // style indices are stored in 16 bits

// ---- part names ---------------------------------------------------------------------------

// A relationship target, resolved against the part that names it. Names stay names: they are
// looked up in the archive and never touch the file system.
support::Result<std::string> resolvePartName(std::string_view sourcePart, std::string_view target) {
    std::string path;
    if (!target.empty() && (target.front() == '/' || target.front() == '\\')) {
        target.remove_prefix(1);
    } else {
        const std::size_t slash = sourcePart.rfind('/');
        if (slash != std::string_view::npos) path = std::string(sourcePart.substr(0, slash + 1));
    }
    std::string resolved;
    std::string combined = path + std::string(target);
    std::size_t start = 0;
    while (start <= combined.size()) {
        std::size_t end = combined.find_first_of("/\\", start);
        if (end == std::string::npos) end = combined.size();
        const std::string_view segment = std::string_view(combined).substr(start, end - start);
        if (segment == "..") {
            //: %1 is the target, as the workbook names it, in quotes
            return makeError(ErrorCode::InvalidInput,
                             Phrase{VELQUOR_TR_NOOP("core",
                                                    "a relationship target climbs out of "
                                                    "its folder (%1); refusing it"),
                                    {quoted(target)}});
        }
        if (!segment.empty() && segment != ".") {
            if (!resolved.empty()) resolved += '/';
            resolved += segment;
        }
        start = end + 1;
    }
    if (resolved.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "a relationship has an empty target")});
    }
    return resolved;
}

std::string relationshipsPartOf(std::string_view part) {
    const std::size_t slash = part.rfind('/');
    if (slash == std::string_view::npos) return "_rels/" + std::string(part) + ".rels";
    return std::string(part.substr(0, slash + 1)) + "_rels/" + std::string(part.substr(slash + 1)) +
           ".rels";
}

// ---- handlers -----------------------------------------------------------------------------

struct Relationship {
    std::string id;
    std::string type;
    std::string target;
};

class RelationshipsHandler final : public XmlHandler {
public:
    std::vector<Relationship> relationships;

    void startElement(std::string_view name, const XmlAttributes& attributes) override {
        if (name != "Relationship") return;
        std::string_view id, type, target, mode;
        attributes.find("Id", id);
        attributes.find("Type", type);
        attributes.find("Target", target);
        if (attributes.find("TargetMode", mode) && mode == "External") return;
        relationships.push_back({std::string(id), std::string(type), std::string(target)});
    }
    void endElement(std::string_view) override {}
};

struct SheetEntry {
    std::string name;
    std::string relationshipId;
};

class WorkbookHandler final : public XmlHandler {
public:
    bool date1904 = false;
    std::size_t activeTab = 0;
    std::vector<SheetEntry> sheets;

    void startElement(std::string_view name, const XmlAttributes& attributes) override {
        std::string_view value;
        if (name == "workbookPr") {
            date1904 = attributes.find("date1904", value) && isTrue(value);
        } else if (name == "workbookView" && !m_sawView) {
            m_sawView = true;
            if (attributes.find("activeTab", value)) {
                activeTab = static_cast<std::size_t>(parseUnsigned(value).value_or(0));
            }
        } else if (name == "sheet") {
            SheetEntry entry;
            if (attributes.find("name", value)) entry.name = value;
            if (attributes.findNamespaced("id", "relationships", value))
                entry.relationshipId = value;
            sheets.push_back(std::move(entry));
        }
    }
    void endElement(std::string_view) override {}

private:
    bool m_sawView = false;
};

class StylesHandler final : public XmlHandler {
public:
    std::map<int, std::string> customCodes;
    std::vector<int> cellFormatIds;  // numFmtId of each cell style, in order

    void startElement(std::string_view name, const XmlAttributes& attributes) override {
        std::string_view value;
        if (name == "numFmt") {
            std::string_view code;
            if (attributes.find("numFmtId", value) && attributes.find("formatCode", code)) {
                if (auto id = parseUnsigned(value); id && *id < 100000) {
                    customCodes[static_cast<int>(*id)] = unescapeAmpersands(code);
                }
            }
        } else if (name == "cellXfs") {
            m_inCellStyles = true;
        } else if (name == "xf" && m_inCellStyles && cellFormatIds.size() < kMaxStyles) {
            int id = 0;
            if (attributes.find("numFmtId", value)) {
                id = static_cast<int>(parseUnsigned(value).value_or(0) % 100000);
            }
            cellFormatIds.push_back(id);
        }
    }
    void endElement(std::string_view name) override {
        if (name == "cellXfs") m_inCellStyles = false;
    }

private:
    // The streaming parser leaves character references to '&' in attribute values as written.
    // One pass: a code made of millions of them must not cost a scan per reference. A code
    // past the longest the application accepts is kept only as far as needed to tell so.
    static std::string unescapeAmpersands(std::string_view text) {
        constexpr std::string_view kReference = "&#38;";
        constexpr std::size_t kKept = 4 * (kMaxFormatCodeCharacters + 1);
        std::string out;
        for (std::size_t at = 0; at < text.size() && out.size() < kKept;) {
            if (text.substr(at, kReference.size()) == kReference) {
                out += '&';
                at += kReference.size();
            } else {
                out += text[at++];
            }
        }
        return out;
    }
    bool m_inCellStyles = false;
};

// Shared strings: the text of each <si>, rich-text runs joined, phonetic guides left out.
class SharedStringsHandler final : public XmlHandler {
public:
    explicit SharedStringsHandler(StringPool& pool) : m_pool(pool) {}

    void startElement(std::string_view name, const XmlAttributes&) override {
        if (name == "si") {
            m_inItem = true;
            m_text.clear();
        } else if (name == "rPh") {
            ++m_phoneticDepth;
        } else if (name == "t" && m_inItem && m_phoneticDepth == 0) {
            m_inText = true;
        }
    }
    void endElement(std::string_view name) override {
        if (name == "t") {
            m_inText = false;
        } else if (name == "rPh") {
            --m_phoneticDepth;
        } else if (name == "si" && m_inItem) {
            m_inItem = false;
            auto added = m_pool.add(decodeEscapedText(m_text));
            if (!added) failure = added.error();
        }
    }
    void characters(std::string_view text) override {
        if (m_inText) m_text.append(text);
    }

private:
    StringPool& m_pool;
    std::string m_text;
    bool m_inItem = false;
    bool m_inText = false;
    int m_phoneticDepth = 0;
};

// ---- the workbook ---------------------------------------------------------------------------

class WorkbookReader {
public:
    WorkbookReader(ZipArchive& archive, SheetData& data) : m_archive(archive), m_data(data) {}

    support::Status read() {
        auto workbookPart = findWorkbookPart();
        if (!workbookPart) return workbookPart.error();
        auto relationships = readRelationships(*workbookPart);
        if (!relationships) return relationships.error();

        WorkbookHandler workbook;
        if (auto status = parsePart(m_archive, *workbookPart, workbook); !status) return status;
        m_data.date1904 = workbook.date1904;

        auto sheetPart = activeSheetPart(workbook, *workbookPart, *relationships);
        if (!sheetPart) return sheetPart.error();
        if (auto status = readStyles(*workbookPart, *relationships); !status) return status;
        if (auto status = readSharedStrings(*workbookPart, *relationships); !status) return status;

        if (auto status = readWorksheet(m_archive, *sheetPart, m_data); !status) return status;
        m_data.finish();
        return {};
    }

private:
    support::Result<std::vector<Relationship>> readRelationships(const std::string& part) {
        const std::string relsPart = relationshipsPartOf(part);
        RelationshipsHandler handler;
        if (m_archive.contains(relsPart)) {
            if (auto status = parsePart(m_archive, relsPart, handler); !status)
                return status.error();
        }
        return std::move(handler.relationships);
    }

    // The first relationship of a type (matched by its last path segment), resolved.
    static support::Result<std::optional<std::string>> targetOfType(
        const std::vector<Relationship>& relationships, std::string_view sourcePart,
        std::string_view typeName) {
        for (const Relationship& relationship : relationships) {
            const std::size_t slash = relationship.type.rfind('/');
            if (slash != std::string::npos &&
                std::string_view(relationship.type).substr(slash + 1) == typeName) {
                auto resolved = resolvePartName(sourcePart, relationship.target);
                if (!resolved) return resolved.error();
                return std::optional<std::string>(std::move(*resolved));
            }
        }
        return std::optional<std::string>();
    }

    support::Result<std::string> findWorkbookPart() {
        auto relationships = readRelationships("");
        if (!relationships) return relationships.error();
        auto target = targetOfType(*relationships, "", "officeDocument");
        if (!target) return target.error();
        std::string part = target->value_or("xl/workbook.xml");
        if (!m_archive.contains(part)) {
            return makeError(ErrorCode::InvalidInput,
                             Phrase{VELQUOR_TR_NOOP("core",
                                                    "it is not an .xlsx workbook (the zip "
                                                    "holds no workbook part %1)"),
                                    {part}});
        }
        return part;
    }

    support::Result<std::string> activeSheetPart(const WorkbookHandler& workbook,
                                                 const std::string& workbookPart,
                                                 const std::vector<Relationship>& relationships) {
        if (workbook.sheets.empty()) {
            return makeError(ErrorCode::InvalidInput,
                             Phrase{VELQUOR_TR_NOOP("core", "the workbook lists no sheets")});
        }
        const SheetEntry& sheet =
            workbook.sheets[workbook.activeTab < workbook.sheets.size() ? workbook.activeTab : 0];
        for (const Relationship& relationship : relationships) {
            if (relationship.id != sheet.relationshipId) continue;
            if (!relationship.type.ends_with("/worksheet")) {
                //: %1 is the sheet's name in quotes
                return makeError(ErrorCode::Unsupported,
                                 Phrase{VELQUOR_TR_NOOP("core",
                                                        "the active sheet %1 is not a "
                                                        "worksheet (a chart or dialog "
                                                        "sheet holds no cells)"),
                                        {quoted(sheet.name)}});
            }
            auto part = resolvePartName(workbookPart, relationship.target);
            if (!part) return part.error();
            if (!m_archive.contains(*part)) {
                //: %1 is a part of the workbook, %2 the sheet's name in quotes
                return makeError(
                    ErrorCode::InvalidInput,
                    Phrase{VELQUOR_TR_NOOP("core", "the part %1 of sheet %2 is missing"),
                           {*part, quoted(sheet.name)}});
            }
            return std::move(*part);
        }
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "the sheet %1 has no part in the workbook"),
                                {quoted(sheet.name)}});
    }

    support::Status readStyles(const std::string& workbookPart,
                               const std::vector<Relationship>& relationships) {
        auto part = targetOfType(relationships, workbookPart, "styles");
        if (!part) return part.error();
        if (!part->has_value() || !m_archive.contains(**part)) return {};  // everything General
        StylesHandler styles;
        if (auto status = parsePart(m_archive, **part, styles); !status) return status;
        std::map<int, NumberFormat> byId;
        m_data.styleFormats.clear();
        for (int id : styles.cellFormatIds) {
            auto [it, inserted] = byId.try_emplace(id);
            if (inserted) it->second = formatOfId(styles.customCodes, id);
            m_data.styleFormats.push_back(it->second);
        }
        if (m_data.styleFormats.empty()) m_data.styleFormats.emplace_back();
        return {};
    }

    // A code the application would refuse shows as General, with one warning for the format.
    NumberFormat formatOfId(const std::map<int, std::string>& customCodes, int id) {
        const auto custom = customCodes.find(id);
        if (custom == customCodes.end()) return NumberFormat::fromBuiltinId(id);
        auto compiled = NumberFormat::compile(custom->second);
        if (compiled) return std::move(*compiled);
        m_data.warnings.push_back("number format " + std::to_string(id) + " " +
                                  quoted(custom->second) + " is " + compiled.error().message +
                                  "; its cells show as General");
        return NumberFormat();
    }

    support::Status readSharedStrings(const std::string& workbookPart,
                                      const std::vector<Relationship>& relationships) {
        auto part = targetOfType(relationships, workbookPart, "sharedStrings");
        if (!part) return part.error();
        if (!part->has_value()) return {};
        if (!m_archive.contains(**part)) {
            return partMissing(**part);
        }
        m_data.strings.reserveFor(m_archive.declaredSize(**part));
        SharedStringsHandler strings(m_data.strings);
        return parsePart(m_archive, **part, strings);
    }

    ZipArchive& m_archive;
    SheetData& m_data;
};

support::Status readWorkbook(support::Result<ZipArchive> archive, SheetData& data,
                             std::stop_token stop) {
    if (!archive) return archive.error();
    archive->stopOn(std::move(stop));
    return WorkbookReader(*archive, data).read();
}

}  // namespace

support::Status readWorkbookFile(const std::string& path, SheetData& data, std::stop_token stop) {
    return readWorkbook(ZipArchive::openFile(path), data, std::move(stop));
}

support::Status readWorkbookBytes(std::string_view bytes, SheetData& data, std::stop_token stop) {
    return readWorkbook(ZipArchive::openBytes(bytes), data, std::move(stop));
}

}  // namespace velquor::sheet
