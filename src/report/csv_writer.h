// The one CSV writer of every report: RFC 4180 with CRLF line ends, UTF-8 as given. A cell that
// a spreadsheet would take for a formula (one that begins with =, +, -, @, a tab or a carriage
// return) is written with a leading ' so that no spreadsheet runs it: MAC cells, names and
// reasons come from outside and may hold anything. A cell that already begins with ' before
// such a lead gets one more, so that reading a report back takes off exactly what was added.
#pragma once

#include <string>
#include <string_view>

#include "report/report_table.h"

namespace velquor::report {

// The cell as written before quoting: text, or ' and text when it is guarded as above.
std::string guardedCell(std::string_view text);
// A written cell read back: the guard taken off again, every other ' kept.
std::string unguardedCell(std::string_view cell);

// One field: guarded as above, then quoted (with doubled quotes) when it holds a comma, a
// quote or a line break, or begins or ends with a space.
std::string csvField(std::string_view text);

// One line of fields, ended by CRLF.
std::string csvLine(const std::vector<std::string>& cells);

// The header line, then one line per row, each ended by CRLF.
std::string csvText(const ReportTable& table);

}  // namespace velquor::report
