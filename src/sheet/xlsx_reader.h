// Reading the active sheet of an .xlsx/.xlsm workbook (a zip of XML parts) into SheetData.
#pragma once

#include <string>
#include <string_view>

#include "sheet/sheet_data.h"
#include "support/result.h"

namespace velquor::sheet {

// Errors say what is wrong inside the workbook, without the path.
support::Status readWorkbookFile(const std::string& path, SheetData& data);
// The same from bytes in memory (used by the fuzz target).
support::Status readWorkbookBytes(std::string_view bytes, SheetData& data);

}  // namespace velquor::sheet
