// What the columns of a device sheet fill, read from its header row. Columns A to G keep the
// meaning they have always had (A the MAC, B to E DisplayName, UserID, AuthID, Password, F
// Proxy, G SIPPort) whatever their header says, so a sheet made for them gives the same files.
// From column H on, a header names a template field:
//   - an element path below the document element, "Ext2/SubscriberInformation/UserID": the
//     cell becomes the text of every element on the path; ".../@Name" sets attribute Name of
//     every element on it;
//   - a placeholder name ("TimeZone": letters, digits, '_', '-', '.'): the cell replaces every
//     {{TimeZone}} in the template's text and attribute values;
//   - "template": the cell names the template of its row.
// A header in B to G becomes a field only when it is written in braces ("{{Label}}",
// "{{Ext2/@Enable}}", "{{template}}"): no sheet made for the fixed columns has those.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::generator {

// Which entry of a device row feeds each edited element.
namespace column {
inline constexpr int kMac = 0;
inline constexpr int kDisplayName = 1;
inline constexpr int kUserId = 2;
inline constexpr int kAuthId = 3;
inline constexpr int kPassword = 4;
inline constexpr int kProxy = 5;
inline constexpr int kSipPort = 6;
}  // namespace column

// The element below Ext1 a fixed column B to G fills: its section, its name and the column.
struct SeedElement {
    const char* section;
    const char* name;
    int entry;
};
// In column order, the order in which messages name the elements.
std::span<const SeedElement> seedElements();

// "A" for 0, "G" for 6, "AA" for 26.
std::string columnLetters(int entry);

// The element a fixed column B to G fills ("Ext1/SubscriberInformation/UserID" for C), empty
// for any other column.
std::string seedElementPath(int entry);

// An element path below the document element, with an attribute at its end or not.
struct ElementPath {
    std::vector<std::string> names;  // "Ext2", "SubscriberInformation", "UserID"
    std::string attribute;           // "Enable" for "Ext2/@Enable"; empty for the text

    bool operator==(const ElementPath&) const = default;
};

enum class FieldKind {
    Path,         // an element path (with or without an attribute)
    Placeholder,  // {{Name}} in the template's text and attribute values
    Template,     // the row's template
    Unused,       // a header that is none of these: the column fills nothing
};

struct FieldColumn {
    int entry = 0;       // the column's index in a row (0 is column A)
    std::string header;  // as the sheet shows it
    FieldKind kind = FieldKind::Unused;
    ElementPath path;  // Path
    std::string name;  // Placeholder
};

// The built-in placeholders: the MAC as the run writes it and the sheet row's number.
inline constexpr std::string_view kMacPlaceholder = "mac";
inline constexpr std::string_view kRowPlaceholder = "row";

class SheetFields {
public:
    SheetFields() = default;
    // header: the cells of row 1 (fewer than columns when its last ones are empty); columns:
    // the sheet's width.
    SheetFields(const std::vector<std::string>& header, int columns);

    // The columns past the fixed ones and those in B to G written in braces, in sheet order
    // (unused ones among them when they hold a header).
    const std::vector<FieldColumn>& columns() const { return m_columns; }
    bool empty() const { return m_columns.empty(); }
    int columnCount() const { return m_columnCount; }
    // The entries of the built-in values, past the sheet's columns in a row's values.
    int macEntry() const { return m_columnCount; }
    int rowEntry() const { return m_columnCount + 1; }
    // The column of a placeholder (a built-in's entry for mac and row); nothing for none.
    std::optional<int> placeholderEntry(std::string_view name) const;
    // The template column, -1 without one.
    int templateEntry() const { return m_templateEntry; }
    // Whether entry is one of the fixed columns B to G that keeps its meaning.
    bool isSeedColumn(int entry) const;

private:
    std::vector<FieldColumn> m_columns;
    std::map<std::string, int, std::less<>> m_placeholders;
    int m_columnCount = 0;
    int m_templateEntry = -1;
};

// One {{Name}} or {{Name|default}} in a text.
struct PlaceholderUse {
    std::size_t at = 0;      // where "{{" starts
    std::size_t length = 0;  // up to and including "}}"
    std::string name;        // empty when what is between the braces is no name
    std::optional<std::string> fallback;
    std::string written;  // as the template has it, "{{Label|Desk}}"
};

// Every {{...}} in text, in order; one whose name is not a placeholder name has an empty name.
std::vector<PlaceholderUse> findPlaceholders(std::string_view text);

// Whether text is a placeholder name: letters, digits, '_', '-' and '.'.
bool isPlaceholderName(std::string_view text);

}  // namespace velquor::generator
