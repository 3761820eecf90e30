// Number formats (General only for now).
#include "sheet/number_format.h"

#include <cstdio>

namespace velquor::sheet {
struct NumberFormat::Compiled {};
std::string formatGeneral(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    return buffer;
}
std::string_view builtinFormatCode(int) { return {}; }
NumberFormat::NumberFormat() = default;
NumberFormat NumberFormat::fromCode(std::string_view) { return {}; }
NumberFormat NumberFormat::fromBuiltinId(int) { return {}; }
std::string NumberFormat::formatNumber(double value, bool) const { return formatGeneral(value); }
std::string NumberFormat::formatText(std::string_view text) const { return std::string(text); }
}  // namespace velquor::sheet
