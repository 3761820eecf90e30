// What a sheet's columns fill in a run's templates; see column_uses.h.
#include "generator/template/column_uses.h"

#include <algorithm>
#include <span>
#include <string_view>

namespace velquor::generator {
namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string pathText(const ElementPath& path) {
    std::string text;
    for (const std::string& name : path.names) text += (text.empty() ? "" : "/") + name;
    return text;
}

std::string fieldFills(const FieldColumn& field) {
    switch (field.kind) {
        case FieldKind::Path:
            return field.path.attribute.empty()
                       ? pathText(field.path)
                       : "attribute " + field.path.attribute + " of every " + pathText(field.path);
        case FieldKind::Placeholder:
            return "{{" + field.name + "}}";
        case FieldKind::Template:
            return "the row's template";
        case FieldKind::Unused:
            break;
    }
    return "nothing (its header is neither an element path nor a placeholder name)";
}

std::string_view cellAt(std::span<const std::string> cells, int entry) {
    const auto index = static_cast<std::size_t>(entry);
    return index < cells.size() ? std::string_view(cells[index]) : std::string_view();
}

std::string_view cellAt(std::span<const std::string_view> cells, int entry) {
    const auto index = static_cast<std::size_t>(entry);
    return index < cells.size() ? cells[index] : std::string_view();
}

// A column's name in a finding about values: a fixed column's element, else its header.
std::string valueName(const SheetFields& fields, int entry) {
    if (fields.isSeedColumn(entry)) {
        const std::string path = seedElementPath(entry);
        return path.substr(path.rfind('/') + 1);
    }
    for (const FieldColumn& field : fields.columns()) {
        if (field.entry == entry) return field.header;
    }
    return columnLetters(entry);
}

}  // namespace

std::vector<ColumnUse> columnUses(const std::vector<std::string>& header, const SheetFields& fields,
                                  const RunTemplates& templates, FilledColumns used) {
    if (used.empty())
        used[0] = std::vector<bool>(static_cast<std::size_t>(fields.columnCount()), true);
    const auto readAt = [&](ColumnUse& use, bool isPath) {
        for (const auto& [index, filled] : used) {
            const RunTemplates::Loaded& loaded = templates.templates()[index];
            if (!loaded.loaded) continue;
            const auto entry = static_cast<std::size_t>(use.entry);
            if (loaded.use.usedEntries.contains(use.entry)) {
                use.templates.push_back(loaded.path);
            } else if (isPath && entry < filled.size() && filled[entry]) {
                use.lacking.push_back(loaded.path);
            }
        }
    };
    std::vector<ColumnUse> uses;
    uses.push_back(ColumnUse{0,
                             std::string(cellAt(header, 0)),
                             "the MAC, which names the files and fills {{mac}}",
                             true,
                             {},
                             {}});
    std::size_t next = 0;
    for (int entry = 1; entry < fields.columnCount(); ++entry) {
        ColumnUse use{entry, std::string(cellAt(header, entry)), {}, false, {}, {}};
        const auto& columns = fields.columns();
        while (next < columns.size() && columns[next].entry < entry) ++next;
        if (next < columns.size() && columns[next].entry == entry) {
            const FieldColumn& field = columns[next];
            use.fills = fieldFills(field);
            use.everyTemplate =
                field.kind == FieldKind::Template || field.kind == FieldKind::Unused;
            if (!use.everyTemplate) readAt(use, field.kind == FieldKind::Path);
        } else if (fields.isSeedColumn(entry)) {
            use.fills = seedElementPath(entry);
            readAt(use, false);
        } else {
            continue;  // no header past the fixed columns: not part of the run
        }
        uses.push_back(std::move(use));
    }
    return uses;
}

std::vector<support::Phrase> columnFindings(const std::vector<ColumnUse>& uses,
                                            const SheetFields& fields) {
    std::vector<support::Phrase> findings;
    for (const ColumnUse& use : uses) {
        const auto field =
            std::find_if(fields.columns().begin(), fields.columns().end(),
                         [&use](const FieldColumn& column) { return column.entry == use.entry; });
        if (field == fields.columns().end()) continue;
        const std::string letters = columnLetters(use.entry);
        if (field->kind == FieldKind::Unused) {
            //: %1 is a column (L), %2 its header
            findings.push_back(support::Phrase{
                VELQUOR_TR_NOOP("core",
                                "column %1 (%2) fills nothing: its header is neither an element "
                                "path nor a placeholder name"),
                {letters, use.header}});
        } else if (field->kind == FieldKind::Placeholder && use.templates.empty()) {
            //: %1 is a column (J), %2 its header, %3 the placeholder ({{TimeZone}})
            findings.push_back(support::Phrase{
                VELQUOR_TR_NOOP("core", "column %1 (%2) fills nothing: no template has %3"),
                {letters, use.header, use.fills}});
        } else if (field->kind == FieldKind::Path && !use.lacking.empty()) {
            //: %1 is a column (H), %2 its header (an element path), %3 the templates
            findings.push_back(
                support::Phrase{VELQUOR_TR_NOOP("core", "column %1 (%2) matches no element of %3"),
                                {letters, use.header, joined(use.lacking)}});
        }
    }
    return findings;
}

std::string columnMappingText(const std::vector<ColumnUse>& uses) {
    std::string text = "Columns and what they fill:";
    for (const ColumnUse& use : uses) {
        text += "\n  " + columnLetters(use.entry) + "  " + use.header + ": " + use.fills;
        if (use.everyTemplate) continue;
        text += use.templates.empty() ? " in no template" : " in " + joined(use.templates);
        if (!use.lacking.empty() && !use.templates.empty()) {
            text += "; no such element in " + joined(use.lacking);
        }
    }
    return text;
}

std::vector<std::string> differingColumns(const DeviceTable::Row& first,
                                          const DeviceTable::Row& second,
                                          const SheetFields& fields) {
    std::vector<std::string> names;
    const int width = static_cast<int>(std::max(first.cells.size(), second.cells.size()));
    for (int entry = 1; entry < width; ++entry) {
        if (cellAt(first.cells, entry) == cellAt(second.cells, entry)) continue;
        // A column that fills nothing cannot make two files differ.
        const bool read =
            fields.isSeedColumn(entry) ||
            std::any_of(fields.columns().begin(), fields.columns().end(),
                        [entry](const FieldColumn& field) {
                            return field.entry == entry && field.kind != FieldKind::Unused;
                        });
        if (read) names.push_back(valueName(fields, entry));
    }
    return names;
}

}  // namespace velquor::generator
