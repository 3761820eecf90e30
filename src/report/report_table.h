// ReportTable: what a bulk run reports, one line per row of the run under a header line, every
// cell a text. The same table becomes a CSV file for scripts or an .xlsx workbook for people.
#pragma once

#include <string>
#include <vector>

namespace velquor::report {

struct ReportTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;  // each as long as the header
};

}  // namespace velquor::report
