// Hexadecimal text: digests shown as digits, keys typed as digits, and the \xNN escapes that
// keep untrusted bytes from breaking a diagnostic or log line.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

namespace velquor::support {

// Two lower-case digits per byte.
std::string hexEncode(std::string_view bytes);
// The same into out, which holds twice as many characters as bytes has bytes.
void hexEncodeInto(std::string_view bytes, char* out);

// The inverse of hexEncode, either case; odd lengths and other characters are refused with
// InvalidInput naming the position.
Result<std::string> hexDecode(std::string_view hex);

// Printable ASCII as it is; every other byte, and each byte of alsoEscaped, as \xNN.
std::string escapeNonPrintable(std::string_view text, std::string_view alsoEscaped = {});

// A text from elsewhere (a server, a file) made safe to show on a terminal or in a table:
// control characters (C0, DEL, and C1 as UTF-8 writes them) and the backslash as \xNN, so
// that no escape sequence or line break acts and an escape cannot be forged; every other
// character, UTF-8 included, as it is.
std::string escapeControls(std::string_view text);

}  // namespace velquor::support
