// The XML configuration template: loaded once per run, edited in place for each device row
// (the account elements below Ext1 and its Enable attribute) and saved once per device in the
// template's own encoding and with its own XML declaration.
#pragma once

#include <cstddef>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "generator/fields/template_fields.h"
#include "support/atomic_file.h"
#include "support/result.h"

struct _xmlDoc;
struct _xmlNode;

namespace velquor::generator {

// Templates are phone configurations of some tens of kilobytes; the bound keeps a wrong file
// (or a bomb) from being read into memory.
inline constexpr std::size_t kMaxTemplateBytes = 16u << 20;

// One device row as the sheet shows it: entry 0 is column A.
struct DeviceRow {
    int sheetRow = 0;  // 1-based row number, for messages
    std::vector<std::string> cells;
    std::string mac{};  // the MAC as the run writes it: {{mac}}
};

// What a template does with a sheet's fields, found when it is prepared for them.
struct TemplateUse {
    // Placeholders with no column and no default, as the template writes them ("{{Missing}}"),
    // each once: the template cannot be written without leaving them in.
    std::vector<std::string> missingPlaceholders;
    // The entries of element-path columns that match no element of the template.
    std::vector<int> unmatchedPaths;
    // The entries of the columns the template takes a value from (the fixed columns B to G
    // and the built-ins' included).
    std::set<int> usedEntries;
};

// The element children of node in document order, ending at the first child that is not an
// element: a comment or text placed before an element hides it from the walk.
std::vector<_xmlNode*> ElementChildren(_xmlNode* node);

class ConfigTemplate {
public:
    // Reads and parses the template file. The error names the file and the parser's reason
    // with its line.
    static support::Result<ConfigTemplate> LoadTemplate(const std::string& path);
    // The same from bytes already in memory; displayName stands for the file in messages.
    static support::Result<ConfigTemplate> loadTemplateFromMemory(std::string_view bytes,
                                                                  const std::string& displayName);

    ConfigTemplate(ConfigTemplate&&) noexcept;
    ConfigTemplate& operator=(ConfigTemplate&&) noexcept;
    ~ConfigTemplate();

    // Prepares the template for a sheet's fields, before its first row: the element paths
    // found, the placeholders read, the form files are spliced from made again. Without it
    // only the fixed columns and the placeholders' defaults (and {{mac}} from column A) apply.
    support::Result<TemplateUse> prepare(const SheetFields& fields);
    // Takes one device's values. A row too short for an element the template has, or a value
    // XML cannot carry, fails before anything is changed.
    support::Status ApplyDeviceRow(const DeviceRow& row);
    // The same without copying the cells, which must stay as they are until the row's file
    // is made: a row of width columns (those past cells are empty) and its MAC as the run
    // writes it.
    support::Status applyCells(int sheetRow, std::span<const std::string_view> cells,
                               std::size_t width, std::string_view mac);
    // The whole document as it would be saved: declaration, encoding, indentation. After a
    // row has been applied this is the template's saved form with the row's values spliced
    // in where that gives the same bytes, else a serialisation of the tree.
    support::Result<std::string> serializeDocument() const;
    // Always the serialisation of the tree (the reference the spliced form must equal).
    support::Result<std::string> serializeTree() const;
    bool hasCompiledOutput() const;
    // Saves the document at path through a temporary file renamed into place.
    support::Status SaveDeviceFile(
        const std::string& path, support::Durability durability = support::Durability::Sync) const;

    // The elements (DisplayName, UserID, ...) and the sheet's fields (by header) that row
    // would leave empty, each named once with its column ("Password (E)"), in column order: a
    // file written with them is rarely what the user meant.
    std::vector<std::string> emptyElementsFor(const DeviceRow& row) const;
    std::vector<std::string> emptyElementsFor(std::span<const std::string_view> cells) const;
    // The highest row entry an edit needs, -1 when the template has nothing to edit.
    int highestEntryNeeded() const;
    // The encoding the files are written in, as the template declares it ("UTF-8" if none).
    std::string encodingName() const;

private:
    struct Impl;
    explicit ConfigTemplate(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace velquor::generator
