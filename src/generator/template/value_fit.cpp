// What values a template's places can carry; see value_fit.h.
#include "generator/template/value_fit.h"

#include <libxml/encoding.h>
#include <libxml/tree.h>

#include <cstdio>

#include "generator/template/xml_prolog.h"

namespace velquor::generator {

using support::Phrase;

support::Phrase unfitForXml(std::string_view value) {
    const Phrase notUtf8{VELQUOR_TR_NOOP("core", "it is not valid UTF-8 text")};
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const auto* end = p + value.size();
    while (p < end) {
        char32_t c = *p;
        int length = 1;
        if (c >= 0x80) {
            length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
            if (length == 0 || c >= 0xF8 || end - p < length) return notUtf8;
            c &= 0x3F >> (length - 1);
            for (int i = 1; i < length; ++i) {
                if ((p[i] & 0xC0) != 0x80) return notUtf8;
                c = c << 6 | (p[i] & 0x3F);
            }
            const char32_t shortest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            if (c < shortest || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
                return notUtf8;
            }
        }
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                             (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
        if (!allowed) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
            //: %1 is a character's code (U+0001)
            return Phrase{
                VELQUOR_TR_NOOP("core", "it holds the character %1, which XML cannot carry"),
                {code}};
        }
        p += length;
    }
    return {};
}

namespace {

// Encodings that have a code for every character.
bool writesEveryCharacter(const std::string& encoding) {
    if (encoding.empty()) return true;
    for (const char* full : {"UTF-8", "UTF8", "UTF-16", "UTF-16LE", "UTF-16BE", "UTF-32", "UCS-2",
                             "UCS-4", "GB18030"}) {
        if (sameEncodingName(encoding, full)) return true;
    }
    return false;
}

// Whether the encoder writes the character (UTF-8 bytes) as itself: libxml2 writes one it
// has no code for as a character reference.
bool encodes(xmlCharEncodingHandlerPtr handler, std::string_view character) {
    xmlBufferPtr in = xmlBufferCreate();
    xmlBufferPtr out = xmlBufferCreate();
    bool written = false;
    if (in != nullptr && out != nullptr) {
        xmlBufferAdd(in, reinterpret_cast<const xmlChar*>(character.data()),
                     static_cast<int>(character.size()));
        const int result = xmlCharEncOutFunc(handler, out, in);
        const std::string_view bytes(reinterpret_cast<const char*>(xmlBufferContent(out)),
                                     static_cast<std::size_t>(xmlBufferLength(out)));
        written = result >= 0 && !bytes.empty() && bytes.find("&#") == std::string_view::npos;
    }
    if (in != nullptr) xmlBufferFree(in);
    if (out != nullptr) xmlBufferFree(out);
    return written;
}

}  // namespace

support::Phrase unfitForCdata(const std::string& encoding, std::string_view value) {
    if (writesEveryCharacter(encoding)) return {};
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const auto* end = p + value.size();
    xmlCharEncodingHandlerPtr handler = nullptr;
    Phrase problem;
    while (p < end && problem.empty()) {
        const int length = *p < 0x80 ? 1 : *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : 2;
        const std::string_view character(reinterpret_cast<const char*>(p),
                                         static_cast<std::size_t>(std::min<long>(length, end - p)));
        p += character.size();
        if (length == 1) continue;
        if (handler == nullptr) handler = xmlFindCharEncodingHandler(encoding.c_str());
        if (handler == nullptr) break;  // the file cannot be written at all: said when saving
        if (encodes(handler, character)) continue;
        //: %1 is a character, %2 the template's encoding
        problem = Phrase{VELQUOR_TR_NOOP("core",
                                         "its character %1 has no code in the template's "
                                         "encoding %2, and the CDATA section it goes in cannot "
                                         "write it otherwise; declare UTF-8 in the template or "
                                         "take the placeholder out of the CDATA section"),
                         {std::string(character), encoding}};
    }
    if (handler != nullptr) xmlCharEncCloseFunc(handler);
    return problem;
}

}  // namespace velquor::generator
