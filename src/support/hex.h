// Hexadecimal text: digests shown as digits, keys typed as digits, and the \xNN escapes that
// keep untrusted bytes from breaking a diagnostic or log line.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::support {

// Two lower-case digits per byte.
std::string hexEncode(std::string_view bytes);

// The inverse of hexEncode, either case; odd lengths and other characters are refused with
// InvalidInput naming the position.
Result<std::string> hexDecode(std::string_view hex);

// Printable ASCII as it is; every other byte, and each byte of alsoEscaped, as \xNN.
std::string escapeNonPrintable(std::string_view text, std::string_view alsoEscaped = {});

}  // namespace velquor::support
