// The workbook reader: package relationships lead to the workbook, the workbook's to its
// styles, shared strings and the active sheet, whose cells are streamed into SheetData.
// Nothing is sized from counts the file declares; every part is parsed as a stream.
#include "sheet/xlsx_reader.h"

#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "sheet/xml_stream.h"
#include "sheet/zip_archive.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr std::size_t kMaxStyles = 65536;  // style indices are stored in 16 bits

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.size() > 18) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isTrue(std::string_view text) {
    return text == "1" || text == "true";
}

std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string shown(text.substr(0, kShown));
    if (text.size() > kShown) shown += "...";
    return "\"" + shown + "\"";
}

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
            return makeError(ErrorCode::InvalidInput,
                             "a relationship target climbs out of its folder (" + quoted(target) +
                                 "); refusing it");
        }
        if (!segment.empty() && segment != ".") {
            if (!resolved.empty()) resolved += '/';
            resolved += segment;
        }
        start = end + 1;
    }
    if (resolved.empty()) {
        return makeError(ErrorCode::InvalidInput, "a relationship has an empty target");
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

support::Status parsePart(ZipArchive& archive, const std::string& part, XmlHandler& handler) {
    XmlStream stream(part, handler);
    auto status = archive.read(part, [&](std::string_view chunk) { return stream.feed(chunk); });
    if (!status) return status;
    return stream.finish();
}

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
    static std::string unescapeAmpersands(std::string_view text) {
        std::string out(text);
        for (std::size_t at; (at = out.find("&#38;")) != std::string::npos;)
            out.replace(at, 5, "&");
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

// ---- dates written as ISO 8601 text (cells of type "d") ---------------------------------

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::optional<double> isoDateToSerial(std::string_view text, bool date1904) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0;
    auto number = [&](std::size_t at, std::size_t length, int& out) {
        if (at + length > text.size()) return false;
        auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + length, out);
        return ec == std::errc() && end == text.data() + at + length;
    };
    std::size_t timeAt = 0;
    if (text.size() >= 10 && text[4] == '-') {
        if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day)) return std::nullopt;
        if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
        timeAt = text.size() > 10 && text[10] == 'T' ? 11 : text.size();
    } else {
        year = date1904 ? 1904 : 1899;
        month = date1904 ? 1 : 12;
        day = date1904 ? 1 : 30;
    }
    if (timeAt + 5 <= text.size()) {
        if (!number(timeAt, 2, hour) || !number(timeAt + 3, 2, minute)) return std::nullopt;
        if (timeAt + 6 < text.size() && text[timeAt + 5] == ':') {
            std::string_view rest = text.substr(timeAt + 6);
            while (!rest.empty() && (rest.back() == 'Z' || rest.back() == 'z'))
                rest.remove_suffix(1);
            auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), second);
            if (ec != std::errc()) return std::nullopt;
        }
    }
    const std::int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    double serial;
    if (date1904) {
        serial = static_cast<double>(days - daysFromCivil(1904, 1, 1));
    } else {
        serial = static_cast<double>(days - daysFromCivil(1899, 12, 30));
        // Serial numbers before 1 March 1900 sit one lower: the system counts 29 February 1900.
        if (serial < 61 && serial > 0) serial -= 1;
    }
    return serial + (hour * 3600 + minute * 60 + second) / 86400.0;
}

// ---- the worksheet --------------------------------------------------------------------------

enum class ValueType { Number, SharedString, FormulaString, InlineString, Boolean, Error, Date };

std::string columnName(int column) {
    std::string name;
    for (; column > 0; column = (column - 1) / 26) {
        name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
    }
    return name;
}

std::string cellName(int row, int column) {
    return columnName(column) + std::to_string(row);
}

class WorksheetHandler final : public XmlHandler {
public:
    WorksheetHandler(SheetData& data, std::size_t sharedStringCount, std::size_t styleCount)
        : m_data(data), m_sharedStringCount(sharedStringCount), m_styleCount(styleCount) {}

    void startElement(std::string_view name, const XmlAttributes& attributes) override {
        if (name == "c") {
            startCell(attributes);
        } else if (name == "v") {
            if (m_inCell) {
                m_collecting = true;
                m_hasValue = true;
                m_value.clear();
            }
        } else if (name == "t") {
            if (m_inInline && m_phoneticDepth == 0) m_collecting = true;
        } else if (name == "is") {
            if (m_inCell) {
                m_inInline = true;
                m_hasValue = true;
                m_value.clear();
            }
        } else if (name == "rPh") {
            ++m_phoneticDepth;
        } else if (name == "row") {
            startRow(attributes);
        } else if (name == "sheetData") {
            m_inSheetData = true;
        }
    }

    void endElement(std::string_view name) override {
        if (name == "c") {
            if (m_inCell && m_hasValue) finishCell();
            m_inCell = false;
        } else if (name == "v" || name == "t") {
            m_collecting = false;
        } else if (name == "is") {
            m_inInline = false;
        } else if (name == "rPh") {
            --m_phoneticDepth;
        } else if (name == "sheetData") {
            m_inSheetData = false;
        }
    }

    void characters(std::string_view text) override {
        if (m_collecting) m_value.append(text);
    }

private:
    void fail(std::string message) {
        if (failure.ok()) failure = makeError(ErrorCode::InvalidInput, std::move(message));
    }

    void startRow(const XmlAttributes& attributes) {
        if (!m_inSheetData) return;
        std::string_view value;
        std::uint64_t row = static_cast<std::uint64_t>(m_row) + 1;
        if (attributes.find("r", value)) {
            auto parsed = parseUnsigned(value);
            if (!parsed) return fail("row number " + quoted(value) + " is not a number");
            row = *parsed;
        }
        if (row < 1 || row > static_cast<std::uint64_t>(kMaxRows)) {
            return fail("row " + std::to_string(row) +
                        " lies past the last row a sheet can hold (" + std::to_string(kMaxRows) +
                        ")");
        }
        m_row = static_cast<int>(row);
        m_column = 0;
    }

    bool parseReference(std::string_view reference) {
        std::size_t i = 0;
        std::uint64_t column = 0;
        while (i < reference.size() && reference[i] >= 'A' && reference[i] <= 'Z' && i < 8) {
            column = column * 26 + static_cast<std::uint64_t>(reference[i] - 'A' + 1);
            ++i;
        }
        auto row = parseUnsigned(reference.substr(i));
        if (i == 0 || !row || *row == 0) {
            fail("cell reference " + quoted(reference) + " is not a cell address");
            return false;
        }
        if (column > static_cast<std::uint64_t>(kMaxColumns)) {
            fail("cell " + quoted(reference) + " lies past column XFD, the last a sheet can hold");
            return false;
        }
        if (*row > static_cast<std::uint64_t>(kMaxRows)) {
            fail("cell " + quoted(reference) + " lies past row " + std::to_string(kMaxRows) +
                 ", the last a sheet can hold");
            return false;
        }
        m_cellRow = static_cast<int>(*row);
        m_cellColumn = static_cast<int>(column);
        return true;
    }

    void startCell(const XmlAttributes& attributes) {
        if (!m_inSheetData) return;
        std::string_view reference, type, style;
        bool hasReference = false, hasType = false, hasStyle = false;
        attributes.forEach([&](std::string_view name, std::string_view value) {
            if (name.size() != 1) return;
            if (name[0] == 'r') hasReference = true, reference = value;
            if (name[0] == 't') hasType = true, type = value;
            if (name[0] == 's') hasStyle = true, style = value;
        });
        if (hasReference) {
            if (!parseReference(reference)) return;
        } else {
            if (m_row == 0) m_row = 1;
            if (m_column >= kMaxColumns) {
                return fail("row " + std::to_string(m_row) +
                            " holds cells past column XFD, the last a sheet can hold");
            }
            m_cellRow = m_row;
            m_cellColumn = m_column + 1;
        }
        m_row = m_cellRow;
        m_column = m_cellColumn;
        m_type = ValueType::Number;
        if (hasType && !parseType(type)) return;
        m_style = 0;
        if (hasStyle) {
            const auto index = parseUnsigned(style);
            // An unknown style shows as General, as the application repairs it.
            if (index && *index < m_styleCount) m_style = static_cast<std::uint16_t>(*index);
        }
        m_inCell = true;
        m_hasValue = false;
        m_collecting = false;
        m_inInline = false;
    }

    bool parseType(std::string_view type) {
        static const std::pair<std::string_view, ValueType> kTypes[] = {
            {"n", ValueType::Number},
            {"s", ValueType::SharedString},
            {"str", ValueType::FormulaString},
            {"inlineStr", ValueType::InlineString},
            {"b", ValueType::Boolean},
            {"e", ValueType::Error},
            {"d", ValueType::Date}};
        for (const auto& [name, kind] : kTypes) {
            if (type == name) {
                m_type = kind;
                return true;
            }
        }
        fail("cell " + cellName(m_cellRow, m_cellColumn) + " has the unknown type " + quoted(type));
        return false;
    }

    void finishCell() {
        const int row = m_cellRow;
        const int column = m_cellColumn;
        support::Status status;
        switch (m_type) {
            case ValueType::Number: {
                if (m_value.empty()) return;  // an empty value is no value
                double number = 0;
                const char* begin = m_value.data();
                const char* end = begin + m_value.size();
                if (*begin == '+') ++begin;
                auto [stop, ec] = std::from_chars(begin, end, number);
                if (ec != std::errc() || stop != end || !std::isfinite(number)) {
                    return fail("cell " + cellName(row, column) + " holds " + quoted(m_value) +
                                ", which is not a number");
                }
                status = m_data.addNumber(row, column, number, m_style);
                break;
            }
            case ValueType::SharedString: {
                auto index = parseUnsigned(m_value);
                if (!index || *index >= m_sharedStringCount) {
                    return fail("cell " + cellName(row, column) + " refers to shared string " +
                                quoted(m_value) + ", but the workbook has " +
                                std::to_string(m_sharedStringCount));
                }
                status =
                    m_data.addSharedText(row, column, static_cast<std::uint32_t>(*index), m_style);
                break;
            }
            case ValueType::FormulaString:
            case ValueType::InlineString:
                status = m_data.addText(row, column, decodeEscapedText(m_value), m_style);
                break;
            case ValueType::Boolean:
                if (m_value != "0" && m_value != "1" && m_value != "true" && m_value != "false") {
                    return fail("cell " + cellName(row, column) + " holds " + quoted(m_value) +
                                ", which is not a boolean");
                }
                status = m_data.addBoolean(row, column, isTrue(m_value), m_style);
                break;
            case ValueType::Error:
                status = m_data.addError(row, column, m_value, m_style);
                break;
            case ValueType::Date: {
                if (m_value.empty()) return;
                auto serial = isoDateToSerial(m_value, m_data.date1904);
                if (!serial) {
                    return fail("cell " + cellName(row, column) + " holds " + quoted(m_value) +
                                ", which is not a date");
                }
                status = m_data.addNumber(row, column, *serial, m_style);
                break;
            }
        }
        if (!status) failure = status;
    }

    SheetData& m_data;
    std::size_t m_sharedStringCount;
    std::size_t m_styleCount;
    bool m_inSheetData = false;
    int m_row = 0;     // the current row
    int m_column = 0;  // the last cell's column in it
    bool m_inCell = false;
    bool m_hasValue = false;
    bool m_collecting = false;
    bool m_inInline = false;
    int m_phoneticDepth = 0;
    int m_cellRow = 0;
    int m_cellColumn = 0;
    std::uint16_t m_style = 0;
    ValueType m_type = ValueType::Number;
    std::string m_value;
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

        WorksheetHandler worksheet(m_data, m_data.strings.size(), m_data.styleFormats.size());
        if (auto status = parsePart(m_archive, *sheetPart, worksheet); !status) return status;
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
            return makeError(
                ErrorCode::InvalidInput,
                "it is not an .xlsx workbook (the zip holds no workbook part " + part + ")");
        }
        return part;
    }

    support::Result<std::string> activeSheetPart(const WorkbookHandler& workbook,
                                                 const std::string& workbookPart,
                                                 const std::vector<Relationship>& relationships) {
        if (workbook.sheets.empty()) {
            return makeError(ErrorCode::InvalidInput, "the workbook lists no sheets");
        }
        const SheetEntry& sheet =
            workbook.sheets[workbook.activeTab < workbook.sheets.size() ? workbook.activeTab : 0];
        for (const Relationship& relationship : relationships) {
            if (relationship.id != sheet.relationshipId) continue;
            if (!relationship.type.ends_with("/worksheet")) {
                return makeError(
                    ErrorCode::Unsupported,
                    "the active sheet " + quoted(sheet.name) +
                        " is not a worksheet (a chart or dialog sheet holds no cells)");
            }
            auto part = resolvePartName(workbookPart, relationship.target);
            if (!part) return part.error();
            if (!m_archive.contains(*part)) {
                return makeError(ErrorCode::InvalidInput, "the part " + *part + " of sheet " +
                                                              quoted(sheet.name) + " is missing");
            }
            return std::move(*part);
        }
        return makeError(ErrorCode::InvalidInput,
                         "the sheet " + quoted(sheet.name) + " has no part in the workbook");
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
            if (inserted) {
                auto custom = styles.customCodes.find(id);
                it->second = custom != styles.customCodes.end()
                                 ? NumberFormat::fromCode(custom->second)
                                 : NumberFormat::fromBuiltinId(id);
            }
            m_data.styleFormats.push_back(it->second);
        }
        if (m_data.styleFormats.empty()) m_data.styleFormats.emplace_back();
        return {};
    }

    support::Status readSharedStrings(const std::string& workbookPart,
                                      const std::vector<Relationship>& relationships) {
        auto part = targetOfType(relationships, workbookPart, "sharedStrings");
        if (!part) return part.error();
        if (!part->has_value()) return {};
        if (!m_archive.contains(**part)) {
            return makeError(ErrorCode::InvalidInput, "the part " + **part + " is missing");
        }
        SharedStringsHandler strings(m_data.strings);
        return parsePart(m_archive, **part, strings);
    }

    ZipArchive& m_archive;
    SheetData& m_data;
};

support::Status readWorkbook(support::Result<ZipArchive> archive, SheetData& data) {
    if (!archive) return archive.error();
    return WorkbookReader(*archive, data).read();
}

}  // namespace

support::Status readWorkbookFile(const std::string& path, SheetData& data) {
    return readWorkbook(ZipArchive::openFile(path), data);
}

support::Status readWorkbookBytes(std::string_view bytes, SheetData& data) {
    return readWorkbook(ZipArchive::openBytes(bytes), data);
}

}  // namespace velquor::sheet
