// Fuzz target: arbitrary bytes as delimited text. Every cell read is rendered and checked as
// the sheet's callers rely on it: in sheet order, inside the used range, never empty (an
// empty field is no cell), and every failure says why.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sheet/csv_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using velquor::sheet::SheetData;
    SheetData sheet;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto status = velquor::sheet::readDelimitedText(bytes, sheet);
    if (!status.ok()) {
        if (status.error().message.empty()) std::abort();
        return 0;
    }
    long previous = 0;
    for (std::size_t i = 0; i < sheet.cellCount(); ++i) {
        const int row = sheet.rowAt(i);
        const int column = sheet.columnAt(i);
        if (row < 1 || row > sheet.rowCount() || column < 1 || column > sheet.columnCount()) {
            std::abort();
        }
        const long key = static_cast<long>(row) * (velquor::sheet::kMaxColumns + 1) + column;
        if (key <= previous) std::abort();
        previous = key;
        if (sheet.textAt(i).empty() || sheet.cellText(row, column) != sheet.textAt(i)) {
            std::abort();
        }
    }
    return 0;
}
