// A template's document as bytes and back: the parse that refuses a document type and reads a
// GB2312 label as GBK, the serialisation in the template's own encoding with its declaration
// as written, and the check that a template saves without changing.
#pragma once

#include <string>
#include <string_view>

#include "generator/template/xml_prolog.h"
#include "support/result.h"

struct _xmlDoc;

namespace velquor::generator {

// How a template's files are written.
struct SaveFormat {
    XmlProlog prolog;
    std::string encoding;  // empty: UTF-8 with no encoding named in the declaration
};

// Parses template bytes; the error is the reason alone, for the caller to put in context.
support::Result<_xmlDoc*> parseTemplateBytes(std::string_view bytes, const XmlProlog& prolog);

// The document in the format; displayName stands for the template in messages.
support::Result<std::string> serializeWithFormat(_xmlDoc* doc, const SaveFormat& format,
                                                 const std::string& displayName);

// libxml2 writes a character its output encoding lacks as a character reference even in a
// name, comment, CDATA section or processing instruction, which changes the document or
// breaks it: whether saved, the document's saved form, reads back as the same document.
bool savesFaithfully(_xmlDoc* doc, const std::string& saved, const SaveFormat& format);

// Encodings in which ASCII text is written byte for byte, so that ASCII values can be
// spliced into the saved form without the serialiser's encoder.
bool isAsciiCompatible(const std::string& encoding);

}  // namespace velquor::generator
