// The templates of a run; see run_templates.h.
#include "generator/fields/run_templates.h"

#include <filesystem>

#include "support/translatable.h"

namespace velquor::generator {

namespace fs = std::filesystem;

namespace {

const std::string& cellAt(const DeviceTable::Row& row, int entry) {
    static const std::string kEmpty;
    const auto index = static_cast<std::size_t>(entry);
    return entry >= 0 && index < row.cells.size() ? row.cells[index] : kEmpty;
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
        const std::string& cell = cellAt(row, templates.m_templateEntry);
        if (row.sheetRow < 2 || cell.empty() || templates.m_byCell.contains(cell)) continue;
        const fs::path named(cell);
        const std::string path =
            named.is_absolute() ? cell : (fs::path(templates.m_folder) / named).string();
        auto loaded = ConfigTemplate::LoadTemplate(path);
        Loaded entry{cell, std::nullopt, {}, {}};
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

std::size_t RunTemplates::indexFor(const DeviceTable::Row& row) const {
    const std::string& cell = cellAt(row, m_templateEntry);
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
