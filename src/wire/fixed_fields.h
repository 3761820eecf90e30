// The fixed-width text fields every record and reply is made of: writing a text into a
// zero-filled field, and reading one back with its padding checked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::wire {

// Writes a text into a field that is already zero-filled. A text longer than the field, or
// holding a zero byte (which would make the reader see a shorter text than the one meant), is
// refused (ErrorCode::InvalidInput) naming the field and its width.
support::Status writeField(char* field, std::size_t width, std::string_view text,
                           std::string_view name);

// Reads one field of a record already known to be long enough: its bytes up to the first zero,
// refused when a non-zero byte follows that zero.
support::Result<std::string> readField(std::string_view record, std::size_t offset,
                                       std::size_t width, std::string_view name);

}  // namespace velquor::wire
