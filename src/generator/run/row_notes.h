// The notes a row of a generation run carries, shared by the run and its summary.
#pragma once

#include "generator/run/generation_job.h"
#include "support/translatable.h"

namespace velquor::generator {

// A row written (or checked) with some of its template's values empty; a replaced row's file
// was written over by a later row, which carries its own.
bool hasEmptyValues(const DeviceResult& device);

// "row 3: written, with UserID (C), Password (E) empty"
support::Phrase emptyValuesNote(const DeviceResult& device);

}  // namespace velquor::generator
