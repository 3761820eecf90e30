// What the columns of a device sheet come to in the templates a run uses, for the check before
// the run: each column, what it fills and in which templates (the mapping generate --check
// prints); the columns worth a word, one finding each (a column that fills nothing, an element
// path some of the rows' templates lack); and the columns in which two rows of one phone
// differ.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "generator/devices/device_table.h"
#include "generator/fields/template_fields.h"
#include "generator/template/run_templates.h"
#include "support/translatable.h"

namespace velquor::generator {

struct ColumnUse {
    int entry = 0;       // 0 is column A
    std::string header;  // as the sheet shows it
    // What the column fills, in English: "Ext1/SubscriberInformation/UserID", "{{TimeZone}}",
    // "attribute Enable of every Ext2", "the row's template", "nothing (...)".
    std::string fills;
    // Whether it fills the same in every template, so that no template is named (the MAC, the
    // template column, a header that names nothing).
    bool everyTemplate = false;
    std::vector<std::string> templates;  // the templates it fills something in
    std::vector<std::string> lacking;    // those a path of it matches no element of
};

// For each template the usable rows take (its index in RunTemplates::templates()), the
// columns (by entry) that some row of it fills.
using FilledColumns = std::map<std::size_t, std::vector<bool>>;

// The columns a run reads (A, the fixed ones B to G, the fields), in sheet order, looked at in
// the templates of used (the run's own when empty); a template that could not be read is left
// out. A path a template lacks is told only when a row of that template fills the column: a
// column empty on every row of a template asks nothing of it.
std::vector<ColumnUse> columnUses(const std::vector<std::string>& header, const SheetFields& fields,
                                  const RunTemplates& templates, FilledColumns used);

// The field columns worth a word before a run, one finding per column: a header that is
// no field, a placeholder no template has, an element path that matches no element of a
// template the rows use.
std::vector<support::Phrase> columnFindings(const std::vector<ColumnUse>& uses,
                                            const SheetFields& fields);

// "Columns and what they fill:" and a line per column, for the check's output.
std::string columnMappingText(const std::vector<ColumnUse>& uses);

// The columns the run reads in which two rows differ, by name: a fixed column by its element
// ("UserID"), a field by its header. Column A, the same phone in whatever spelling, is not
// compared.
std::vector<std::string> differingColumns(const DeviceTable::Row& first,
                                          const DeviceTable::Row& second,
                                          const SheetFields& fields);

}  // namespace velquor::generator
