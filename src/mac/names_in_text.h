// The MACs a text names: a certificate's common name or alternative name, say, which holds
// its phone's MAC among other words ("SEP001A2B3C4D5E", "urn:dev:mac:00-1a-2b-3c-4d-5e").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velquor::mac {

// The canonical MACs (12 lower-case digits) text holds, each once, in the order found: 12 hex
// digits (the last 12 of a longer run, a maker's prefix before them, as in SEP001A2B3C4D5E), or
// six groups of two joined by ':' or '-', or three groups of four joined by '.', with any text
// before and after that does not continue the digits.
std::vector<std::string> macsNamedIn(std::string_view text);

}  // namespace velquor::mac
