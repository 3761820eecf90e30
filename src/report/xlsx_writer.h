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
// A workbook of up to kSharedTableRows rows keeps its texts in the workbook's shared table,
// which every reader decodes alike (some leave a control character's _x000D_ escape as it is
// in an inline text); it is held until it is finished, about 1.5 kB a row. Once a row past
// them comes, each row goes to a file of the workbook library's as it comes, its texts inline
// in the sheet, none held: a report of a million rows costs no more memory than one of ten
// thousand. The writer decides by the rows it is given, never by a count told beforehand.
inline constexpr std::size_t kSharedTableRows = 5000;

class XlsxStream {
public:
    static support::Result<XlsxStream> start(const std::vector<std::string>& header);
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
