// Reading the active sheet of an .xlsx/.xlsm workbook (a zip of XML parts) into SheetData.
#pragma once

#include <stop_token>
#include <string>
#include <string_view>

#include "sheet/sheet_data.h"
#include "support/result.h"

namespace velquor::sheet {

// Errors say what is wrong inside the workbook, without the path. A stop request ends the
// reading with a Cancelled error.
support::Status readWorkbookFile(const std::string& path, SheetData& data,
                                 std::stop_token stop = {});
// The same from bytes in memory (used by the fuzz target).
support::Status readWorkbookBytes(std::string_view bytes, SheetData& data,
                                  std::stop_token stop = {});

}  // namespace velquor::sheet
