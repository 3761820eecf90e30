// What a template's first bytes say about it: whether it starts with an XML declaration and
// the encoding that declaration names, read before the parser sees the document so that the
// saved files can repeat the declaration as the template wrote it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velquor::generator {

struct XmlProlog {
    bool hasDeclaration = false;
    // The encoding name exactly as written in the declaration ("gb2312", "UTF-8", ...).
    std::optional<std::string> declaredEncoding;
    // Set when the bytes are UTF-16 (by byte order mark or by the shape of "<?xml").
    bool utf16 = false;
    // For byte-wide encodings: the UTF-8 byte order mark, and the declaration's bytes
    // exactly as written, from "<?xml" to "?>".
    bool utf8ByteOrderMark = false;
    std::string declarationText;
};

XmlProlog readXmlProlog(std::string_view bytes);

// Case-insensitive ASCII comparison, for encoding names.
bool sameEncodingName(std::string_view a, std::string_view b);

}  // namespace velquor::generator
