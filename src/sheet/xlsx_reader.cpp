// Placeholder until the workbook reader lands.
#include "sheet/xlsx_reader.h"

namespace velquor::sheet {
support::Status readWorkbookFile(const std::string&, SheetData&) {
    return support::makeError(support::ErrorCode::Unsupported, ".xlsx reading is not built yet");
}
support::Status readWorkbookBytes(std::string_view, SheetData&) {
    return support::makeError(support::ErrorCode::Unsupported, ".xlsx reading is not built yet");
}
}  // namespace velquor::sheet
