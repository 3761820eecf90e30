// Streams the cells of a worksheet part into SheetData: cell addresses, types and values
// checked against the bounds of a sheet, shared strings and styles against the workbook's.
#include "sheet/worksheet_reader.h"

#include <charconv>
#include <cmath>

#include "sheet/cell_name.h"
#include "sheet/serial_date.h"
#include "sheet/xlsx_common.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;

namespace {

enum class ValueType { Number, SharedString, FormulaString, InlineString, Boolean, Error, Date };

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
    void fail(support::Phrase phrase) {
        if (failure.ok()) failure = makeError(ErrorCode::InvalidInput, std::move(phrase));
    }

    void startRow(const XmlAttributes& attributes) {
        if (!m_inSheetData) return;
        std::string_view value;
        std::uint64_t row = static_cast<std::uint64_t>(m_row) + 1;
        if (attributes.find("r", value)) {
            auto parsed = parseUnsigned(value);
            if (!parsed) {
                return fail(
                    {VELQUOR_TR_NOOP("core", "row number %1 is not a number"), {quoted(value)}});
            }
            row = *parsed;
        }
        if (row < 1 || row > static_cast<std::uint64_t>(kMaxRows)) {
            return fail(
                {VELQUOR_TR_NOOP("core", "row %1 lies past the last row a sheet can hold (%2)"),
                 {std::to_string(row), std::to_string(kMaxRows)}});
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
            fail({VELQUOR_TR_NOOP("core", "cell reference %1 is not a cell address"),
                  {quoted(reference)}});
            return false;
        }
        if (column > static_cast<std::uint64_t>(kMaxColumns)) {
            fail(
                {VELQUOR_TR_NOOP("core", "cell %1 lies past column XFD, the last a sheet can hold"),
                 {quoted(reference)}});
            return false;
        }
        if (*row > static_cast<std::uint64_t>(kMaxRows)) {
            fail({VELQUOR_TR_NOOP("core", "cell %1 lies past row %2, the last a sheet can hold"),
                  {quoted(reference), std::to_string(kMaxRows)}});
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
                return fail({VELQUOR_TR_NOOP("core",
                                             "row %1 holds cells past column XFD, the "
                                             "last a sheet can hold"),
                             {std::to_string(m_row)}});
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
        //: %1 is a cell (B7), %2 the type as the file writes it, in quotes
        fail({VELQUOR_TR_NOOP("core", "cell %1 has the unknown type %2"),
              {cellName(m_cellRow, m_cellColumn), quoted(type)}});
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
                    return fail({VELQUOR_TR_NOOP("core", "cell %1 holds %2, which is not a number"),
                                 {cellName(row, column), quoted(m_value)}});
                }
                status = m_data.addNumber(row, column, number, m_style);
                break;
            }
            case ValueType::SharedString: {
                auto index = parseUnsigned(m_value);
                if (!index || *index >= m_sharedStringCount) {
                    //: %1 is a cell (B7), %2 the string's number, %3 how many the workbook has
                    return fail({VELQUOR_TR_NOOP("core",
                                                 "cell %1 refers to shared string %2, but "
                                                 "the workbook has %3"),
                                 {cellName(row, column), quoted(m_value),
                                  std::to_string(m_sharedStringCount)}});
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
                    return fail(
                        {VELQUOR_TR_NOOP("core", "cell %1 holds %2, which is not a boolean"),
                         {cellName(row, column), quoted(m_value)}});
                }
                status = m_data.addBoolean(row, column, isTrue(m_value), m_style);
                break;
            case ValueType::Error:
                status = m_data.addError(row, column, m_value, m_style);
                break;
            case ValueType::Date: {
                if (m_value.empty()) return;
                auto serial = serialFromIsoText(m_value, m_data.date1904);
                if (!serial) {
                    return fail({VELQUOR_TR_NOOP("core", "cell %1 holds %2, which is not a date"),
                                 {cellName(row, column), quoted(m_value)}});
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

}  // namespace

support::Status readWorksheet(ZipArchive& archive, const std::string& part, SheetData& data) {
    WorksheetHandler worksheet(data, data.strings.size(), data.styleFormats.size());
    return parsePart(archive, part, worksheet);
}

}  // namespace velquor::sheet
