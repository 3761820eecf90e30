// The per-device results of a generation run as CSV text, one line per device row, for
// scripts and for the user to open in a spreadsheet.
#pragma once

#include <string>
#include <string_view>

#include "generator/generation_job.h"

namespace velquor::generator {

// Header "row,mac,plain_file,encrypted_file,outcome,reason", then one line per device;
// lines end in CRLF and fields are quoted where CSV needs it.
std::string generationReportCsv(const GenerationReport& report);

// One CSV field: quoted (with doubled quotes) when it holds a comma, quote or line break,
// or starts or ends with a space.
std::string csvField(std::string_view text);

}  // namespace velquor::generator
