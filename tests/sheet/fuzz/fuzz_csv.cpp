// Fuzz target: arbitrary bytes as delimited text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sheet/csv_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velquor::sheet::SheetData sheet;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (velquor::sheet::readDelimitedText(bytes, sheet).ok() && sheet.rowCount() > 0) {
        (void)sheet.cellText(sheet.rowCount(), sheet.columnCount());
    }
    return 0;
}
