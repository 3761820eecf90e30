// Whether a row's value can be written where a template puts it: XML text at all, and, in a
// CDATA section, in the template's own encoding (a section has no character references, so a
// character the encoding lacks would reach the phone as the text "&#1055;").
#pragma once

#include <string>
#include <string_view>

#include "support/translatable.h"

namespace velquor::generator {

// Why a value cannot become XML text, or empty when it can: it must be UTF-8 made of
// characters XML 1.0 allows.
support::Phrase unfitForXml(std::string_view value);

// Why a value (UTF-8) cannot stand in a CDATA section of a file written in encoding (empty:
// UTF-8), or empty when it can: the first character the encoding has no code for, by the
// XML library's own encoder for that name.
support::Phrase unfitForCdata(const std::string& encoding, std::string_view value);

}  // namespace velquor::generator
