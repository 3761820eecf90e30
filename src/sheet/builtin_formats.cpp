// The built-in number formats: the codes the en-US application shows for the ids a
// workbook may use without declaring them.
#include <algorithm>
#include <array>

#include "sheet/number_format.h"

namespace velquor::sheet {

namespace {

struct BuiltinFormat {
    int id;
    std::string_view code;
};

constexpr std::array kBuiltinFormats = {
    BuiltinFormat{0, "General"},
    BuiltinFormat{1, "0"},
    BuiltinFormat{2, "0.00"},
    BuiltinFormat{3, "#,##0"},
    BuiltinFormat{4, "#,##0.00"},
    BuiltinFormat{5, "\"$\"#,##0_);\\(\"$\"#,##0\\)"},
    BuiltinFormat{6, "\"$\"#,##0_);[Red]\\(\"$\"#,##0\\)"},
    BuiltinFormat{7, "\"$\"#,##0.00_);\\(\"$\"#,##0.00\\)"},
    BuiltinFormat{8, "\"$\"#,##0.00_);[Red]\\(\"$\"#,##0.00\\)"},
    BuiltinFormat{9, "0%"},
    BuiltinFormat{10, "0.00%"},
    BuiltinFormat{11, "0.00E+00"},
    BuiltinFormat{12, "# ?/?"},
    BuiltinFormat{13,
                  "# ?"
                  "?/?"
                  "?"},  // split so that no trigraph forms
    BuiltinFormat{14, "m/d/yyyy"},
    BuiltinFormat{15, "d-mmm-yy"},
    BuiltinFormat{16, "d-mmm"},
    BuiltinFormat{17, "mmm-yy"},
    BuiltinFormat{18, "h:mm AM/PM"},
    BuiltinFormat{19, "h:mm:ss AM/PM"},
    BuiltinFormat{20, "h:mm"},
    BuiltinFormat{21, "h:mm:ss"},
    BuiltinFormat{22, "m/d/yyyy h:mm"},
    BuiltinFormat{37, "#,##0 ;(#,##0)"},
    BuiltinFormat{38, "#,##0 ;[Red](#,##0)"},
    BuiltinFormat{39, "#,##0.00;(#,##0.00)"},
    BuiltinFormat{40, "#,##0.00;[Red](#,##0.00)"},
    BuiltinFormat{41, "_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)"},
    BuiltinFormat{42, "_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)"},
    BuiltinFormat{43, "_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)"},
    BuiltinFormat{44, "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"},
    BuiltinFormat{45, "mm:ss"},
    BuiltinFormat{46, "[h]:mm:ss"},
    BuiltinFormat{47, "mm:ss.0"},
    BuiltinFormat{48, "##0.0E+0"},
    BuiltinFormat{49, "@"},
};

}  // namespace

std::string_view builtinFormatCode(int id) {
    const auto* found = std::find_if(kBuiltinFormats.begin(), kBuiltinFormats.end(),
                                     [id](const BuiltinFormat& format) { return format.id == id; });
    return found == kBuiltinFormats.end() ? std::string_view() : found->code;
}

}  // namespace velquor::sheet
