// Template documents read and written; see template_document.h.
#include "generator/template/template_document.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include "xmlsafe/xml_safety.h"

namespace velquor::generator {

using support::ErrorCode;
using support::makeError;
using support::Phrase;

namespace {

struct ParseState {
    bool sawDoctype = false;
    Phrase firstError;
};

ParseState& stateOf(void* context) {
    return *static_cast<ParseState*>(static_cast<xmlParserCtxtPtr>(context)->_private);
}

void onDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    // Stop before the internal subset is read: entity declarations are how a small file
    // turns into gigabytes, and a configuration template has no use for them.
    stateOf(context).sawDoctype = true;
    xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
}

void onParseError(void* context, xmlErrorPtr error) {
    ParseState& state = stateOf(context);
    if (!state.firstError.empty() || error == nullptr || error->level < XML_ERR_ERROR) return;
    state.firstError = xmlsafe::parseErrorPhrase(*error);
}

// GB2312 files in the wild are written by GBK encoders and hold GBK-only characters; read
// them as GBK, which is a superset, rather than fail on the first such character.
bool isGb2312Label(std::string_view name) {
    for (const char* alias : {"GB2312", "GB_2312-80", "EUC-CN", "csGB2312", "EUCCN"}) {
        if (sameEncodingName(name, alias)) return true;
    }
    return false;
}

// Why a document could not be saved: from which template, in which encoding when it names
// one, and the XML library's own reason when it gave one.
Phrase unwritableDocument(const std::string& displayName, const std::string& encoding,
                          const std::string& libraryReason) {
    Phrase phrase;
    if (encoding.empty()) {
        phrase = libraryReason.empty()
                     ? Phrase{VELQUOR_TR_NOOP("core", "cannot write the document from %1"),
                              {displayName}}  //: %1 is the template, %2 the XML library's reason
                     : Phrase{VELQUOR_TR_NOOP("core", "cannot write the document from %1: %2"),
                              {displayName, libraryReason}};
        return phrase;
    }
    //: %1 is the template, %2 its encoding
    phrase = libraryReason.empty()
                 ? Phrase{VELQUOR_TR_NOOP("core",
                                          "cannot write the document from %1 in its encoding %2 "
                                          "(a character in a name, comment or processing "
                                          "instruction may have no code there)"),
                          {displayName, encoding}}
                 //: %1 is the template, %2 its encoding, %3 the XML library's reason
                 : Phrase{VELQUOR_TR_NOOP("core",
                                          "cannot write the document from %1 in its encoding %2 "
                                          "(a character in a name, comment or processing "
                                          "instruction may have no code there): %3"),
                          {displayName, encoding, libraryReason}};
    return phrase;
}

}  // namespace

support::Result<std::string> serializeWithFormat(xmlDocPtr doc, const SaveFormat& format,
                                                 const std::string& displayName) {
    xmlsafe::DiagnosticCapture errors;
    xmlBufferPtr buffer = xmlBufferCreateSize(64 * 1024);
    if (buffer == nullptr) return makeError(ErrorCode::Internal, "out of memory");
    // libxml2 writes a declaration of its own making; a byte-wide template gets its own
    // declaration back verbatim instead (quotes, spacing and the name's case included).
    const XmlProlog& prolog = format.prolog;
    const bool verbatimDeclaration = !prolog.declarationText.empty();
    int options = XML_SAVE_FORMAT;
    if (!prolog.hasDeclaration || verbatimDeclaration) options |= XML_SAVE_NO_DECL;
    // Without a named encoding libxml2 escapes every non-ASCII character; name UTF-8.
    const char* encoding = format.encoding.empty() ? "UTF-8" : format.encoding.c_str();
    xmlSaveCtxtPtr saver = xmlSaveToBuffer(buffer, encoding, options);
    if (saver == nullptr) {
        xmlBufferFree(buffer);
        return makeError(ErrorCode::Unsupported,
                         Phrase{VELQUOR_TR_NOOP("core", "cannot write XML in the encoding %1"),
                                {format.encoding}});
    }
    const long saved = xmlSaveDoc(saver, doc);
    const int closed = xmlSaveClose(saver);
    if (saved < 0 || closed < 0) {
        xmlBufferFree(buffer);
        return makeError(ErrorCode::Unsupported,
                         unwritableDocument(displayName, format.encoding, errors.first()));
    }
    std::string text;
    if (verbatimDeclaration) {
        text.reserve(static_cast<std::size_t>(xmlBufferLength(buffer)) + 64);
        if (prolog.utf8ByteOrderMark) text += "\xEF\xBB\xBF";
        text += prolog.declarationText;
        text += '\n';
    }
    text.append(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                static_cast<std::size_t>(xmlBufferLength(buffer)));
    xmlBufferFree(buffer);
    return text;
}

// Encodings in which ASCII text is written byte for byte, so that ASCII values can be
// spliced into the saved form without the serialiser's encoder.
bool isAsciiCompatible(const std::string& encoding) {
    auto startsWith = [&](std::string_view prefix) {
        return encoding.size() >= prefix.size() &&
               sameEncodingName(std::string_view(encoding).substr(0, prefix.size()), prefix);
    };
    return startsWith("ISO-8859-") || startsWith("windows-125") || startsWith("GB") ||
           startsWith("Big5") || startsWith("EUC-") || sameEncodingName(encoding, "US-ASCII") ||
           sameEncodingName(encoding, "ASCII");
}

// Parses template bytes; the error is the reason alone, for the caller to put in context.
support::Result<xmlDocPtr> parseTemplateBytes(std::string_view bytes, const XmlProlog& prolog) {
    const char* forcedEncoding = nullptr;
    int options = xmlsafe::kParseOptions | XML_PARSE_NOBLANKS;
    if (prolog.declaredEncoding && isGb2312Label(*prolog.declaredEncoding)) {
        forcedEncoding = "GBK";
        options |= XML_PARSE_IGNORE_ENC;
    }
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (context == nullptr) return makeError(ErrorCode::Internal, "out of memory");
    ParseState state;
    context->_private = &state;
    context->sax->internalSubset = onDoctype;
    context->sax->serror = onParseError;
    xmlsafe::DiagnosticCapture otherErrors;
    xmlDocPtr doc = xmlCtxtReadMemory(context, bytes.data(), static_cast<int>(bytes.size()),
                                      nullptr, forcedEncoding, options);
    xmlFreeParserCtxt(context);

    if (state.sawDoctype) {
        if (doc != nullptr) xmlFreeDoc(doc);
        return makeError(ErrorCode::Unsupported,
                         Phrase{VELQUOR_TR_NOOP("core",
                                                "it has a document type declaration "
                                                "(<!DOCTYPE ...>), which templates may "
                                                "not have")});
    }
    if (doc == nullptr) {
        if (!state.firstError.empty()) return makeError(ErrorCode::InvalidInput, state.firstError);
        if (!otherErrors.first().empty()) {
            return makeError(ErrorCode::InvalidInput, otherErrors.first());
        }
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "not well-formed XML")});
    }
    if (xmlDocGetRootElement(doc) == nullptr) {
        xmlFreeDoc(doc);
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "it has no document element")});
    }
    if (doc->encoding != nullptr) xmlFree(const_cast<xmlChar*>(doc->encoding));
    doc->encoding = nullptr;
    return doc;
}

// libxml2 writes a character its output encoding lacks as a character reference even in a
// name, comment, CDATA section or processing instruction, which changes the document or
// breaks it. Such a template is caught by reading its saved form back.
bool savesFaithfully(xmlDocPtr doc, const std::string& saved, const SaveFormat& format) {
    auto reread = parseTemplateBytes(saved, format.prolog);
    if (!reread) return false;
    const SaveFormat canonical;  // UTF-8, no declaration
    auto original = serializeWithFormat(doc, canonical, "");
    auto copy = serializeWithFormat(*reread, canonical, "");
    xmlFreeDoc(*reread);
    return original && copy && *original == *copy;
}

}  // namespace velquor::generator
