// The templates of a run; see run_templates.h.
#include "generator/template/run_templates.h"

#include <filesystem>
#include <set>

#include "support/translatable.h"

namespace velquor::generator {

namespace fs = std::filesystem;

namespace {

std::string_view cellAt(const DeviceTable::Row& row, int entry) {
    const auto index = static_cast<std::size_t>(entry);
    return entry >= 0 && index < row.cells.size() ? row.cells[index] : std::string_view();
}

// The file a template cell names: relative to the folder of the run's template, or absolute.
std::string namedTemplate(const std::string& folder, std::string_view cell) {
    const fs::path named(cell);
    return named.is_absolute() ? std::string(cell) : (fs::path(folder) / named).string();
}

}  // namespace

support::Result<RunTemplates> RunTemplates::load(const std::string& runTemplate,
                                                 const DeviceTable& table,
                                                 const SheetFields& fields) {
    RunTemplates templates;
    templates.m_templateEntry = fields.templateEntry();
    templates.m_folder = fs::path(runTemplate).parent_path().string();
    const auto prepare = [&fields](Loaded& entry) {
        if (!entry.loaded) return;
        if (auto use = entry.loaded->prepare(fields)) entry.use = std::move(*use);
    };
    auto own = ConfigTemplate::LoadTemplate(runTemplate);
    if (!own) return own.error();
    templates.m_templates.push_back(Loaded{runTemplate, std::move(*own), {}, {}});
    prepare(templates.m_templates.back());
    if (templates.m_templateEntry < 0) return templates;
    for (const DeviceTable::Row& row : table.rows) {
        const std::string_view cell = cellAt(row, templates.m_templateEntry);
        if (row.sheetRow < 2 || cell.empty() || templates.m_byCell.contains(cell)) continue;
        auto loaded = ConfigTemplate::LoadTemplate(namedTemplate(templates.m_folder, cell));
        Loaded entry{std::string(cell), std::nullopt, {}, {}};
        if (loaded) {
            entry.loaded = std::move(*loaded);
        } else {
            entry.error = loaded.error();
        }
        prepare(entry);
        templates.m_byCell.emplace(cell, templates.m_templates.size());
        templates.m_templates.push_back(std::move(entry));
    }
    return templates;
}

std::vector<std::string> RunTemplates::paths(const std::string& runTemplate,
                                             const DeviceTable& table, const SheetFields& fields) {
    std::vector<std::string> paths{runTemplate};
    const int entry = fields.templateEntry();
    if (entry < 0) return paths;
    const std::string folder = fs::path(runTemplate).parent_path().string();
    std::set<std::string> seen;
    for (const DeviceTable::Row& row : table.rows) {
        const std::string_view cell = cellAt(row, entry);
        if (row.sheetRow < 2 || cell.empty() || !seen.emplace(cell).second) continue;
        paths.push_back(namedTemplate(folder, cell));
    }
    return paths;
}

std::size_t RunTemplates::indexFor(const DeviceTable::Row& row) const {
    const std::string_view cell = cellAt(row, m_templateEntry);
    if (cell.empty()) return 0;
    const auto found = m_byCell.find(cell);
    return found == m_byCell.end() ? 0 : found->second;
}

support::Result<ConfigTemplate*> RunTemplates::forRow(const DeviceTable::Row& row) {
    Loaded& entry = m_templates[indexFor(row)];
    if (entry.loaded) return &*entry.loaded;
    return entry.error;
}

support::Status RunTemplates::refuseMissingPlaceholders() const {
    for (const Loaded& entry : m_templates) {
        if (!entry.loaded || entry.use.missingPlaceholders.empty()) continue;
        std::string names;
        for (const std::string& name : entry.use.missingPlaceholders) {
            names += (names.empty() ? "" : ", ") + name;
        }
        //: %1 is the placeholders ("{{TimeZone}}"), %2 the template
        return support::makeError(
            support::ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core",
                                            "%1 in the template %2 has no column of the sheet "
                                            "and no default: head a column with its name, or "
                                            "write {{Name|default}}; nothing was written"),
                            {names, entry.path}});
    }
    return {};
}

}  // namespace velquor::generator
