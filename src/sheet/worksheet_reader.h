// Reading one worksheet part of a workbook into SheetData.
#pragma once

#include <string>

#include "sheet/sheet_data.h"
#include "sheet/zip_archive.h"
#include "support/result.h"

namespace velquor::sheet {

// The workbook's shared strings and number formats must already be in data: cells are
// checked against them. Errors name the cell and what is wrong with it.
support::Status readWorksheet(ZipArchive& archive, const std::string& part, SheetData& data);

}  // namespace velquor::sheet
