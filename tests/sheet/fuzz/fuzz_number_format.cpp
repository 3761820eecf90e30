// Fuzz target: a number format code (the bytes after the first 8) applied to a number (the
// first 8 bytes), in both date systems, and to a text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "sheet/number_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(double)) return 0;
    double value = 0;
    std::memcpy(&value, data, sizeof value);
    const std::string_view code(reinterpret_cast<const char*>(data) + sizeof value,
                                size - sizeof value);
    const auto format = velquor::sheet::NumberFormat::fromCode(code);
    (void)format.formatNumber(value, false);
    (void)format.formatNumber(value, true);
    (void)format.formatText("text");
    return 0;
}
