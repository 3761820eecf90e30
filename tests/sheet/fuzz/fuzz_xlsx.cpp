// Fuzz target: arbitrary bytes as an .xlsx workbook; every cell of the used range (up to a
// bound) is rendered too, so number formats and shared strings are reached.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sheet/sheet_data.h"
#include "sheet/xlsx_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velquor::sheet::SheetData sheet;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (!velquor::sheet::readWorkbookBytes(bytes, sheet).ok()) return 0;
    for (int row = 1; row <= std::min(sheet.rowCount(), 100); ++row) {
        for (int column = 1; column <= std::min(sheet.columnCount(), 100); ++column) {
            (void)sheet.cellText(row, column);
        }
    }
    return 0;
}
