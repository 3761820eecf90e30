// The templates of one generation run: the run's own and every one a sheet's template column
// names, each read and prepared for the sheet's fields once, before the first file.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "generator/devices/device_table.h"
#include "generator/fields/template_fields.h"
#include "generator/template/config_template.h"
#include "support/result.h"

namespace velquor::generator {

class RunTemplates {
public:
    struct Loaded {
        std::string path;  // as the run or the cell names it, for messages
        std::optional<ConfigTemplate> loaded;
        support::Error error;  // why it could not be read, when it could not
        TemplateUse use;
    };

    // Reads the run's template (its failure is the run's error) and those the template column
    // names (relative to the run's template's folder, or absolute; an empty cell is the run's).
    static support::Result<RunTemplates> load(const std::string& runTemplate,
                                              const DeviceTable& table, const SheetFields& fields);

    // The template of a row, or why it has none.
    support::Result<ConfigTemplate*> forRow(const DeviceTable::Row& row);
    // The run's own template first, then the others in the order the sheet first names them.
    const std::vector<Loaded>& templates() const { return m_templates; }
    // The template's index in templates() for a row.
    std::size_t indexFor(const DeviceTable::Row& row) const;

    // Refused when a template that loaded holds a placeholder no column fills and that has
    // no default: such a file would reach a phone with the placeholder in it.
    support::Status refuseMissingPlaceholders() const;

    // The files of the templates a run uses, each once: the run's own first, then those the
    // template column names, as load() finds them.
    static std::vector<std::string> paths(const std::string& runTemplate, const DeviceTable& table,
                                          const SheetFields& fields);

private:
    int m_templateEntry = -1;
    std::string m_folder;
    std::vector<Loaded> m_templates;
    std::map<std::string, std::size_t, std::less<>> m_byCell;
};

}  // namespace velquor::generator
