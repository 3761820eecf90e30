// The .xlsx form of a report, for people who open it in a spreadsheet: every cell a text cell
// (a MAC keeps its leading zeros and its digits, nothing is ever a formula or a number), the
// header row bold and frozen, with a filter over the table.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace velquor::report {

// A workbook written a row at a time. Text that is not UTF-8 has each stray byte replaced by
// U+FFFD, since a workbook cannot hold it; a cell past the 32,767 bytes a spreadsheet cell
// holds is cut there. The columns' widths are measured on the header and the first rows.
//
// A workbook of more than kStreamedRows rows has each row go to a file of the workbook
// library's as it comes, its texts inline in the sheet, none held: a report of a million rows
// costs no more memory than one of ten. A smaller one keeps its texts in the workbook's shared
// table, which every reader decodes alike (some leave a control character's _x000D_ escape
// as it is in an inline text).
inline constexpr std::size_t kStreamedRows = 100000;

class XlsxStream {
public:
    // rows: how many rows will follow the header, as far as the caller knows.
    static support::Result<XlsxStream> start(const std::vector<std::string>& header,
                                             std::size_t rows);
    XlsxStream(XlsxStream&&) noexcept;
    XlsxStream& operator=(XlsxStream&&) noexcept;
    ~XlsxStream();

    support::Status writeRow(const std::vector<std::string>& cells);
    // Closes the workbook and hands its bytes to consume a piece at a time.
    using Consumer = std::function<support::Status(std::string_view bytes)>;
    support::Status finish(const Consumer& consume);

private:
    struct State;
    explicit XlsxStream(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

}  // namespace velquor::report
