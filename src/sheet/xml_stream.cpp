// XmlStream over libxml2's SAX2 push parser (measured faster than its text reader on sheet
// parts, and it never builds a tree), over the xmlsafe lock-down of libxml2.
#include "sheet/xml_stream.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <cstring>

#include "xmlsafe/xml_safety.h"

namespace velquor::sheet {

using support::ErrorCode;
using support::makeError;

namespace {

// The push parser moves its unparsed remainder after each chunk: small chunks keep that cheap.
constexpr std::size_t kParserChunkBytes = 16 * 1024;

std::string_view view(const xmlChar* text) {
    return text == nullptr ? std::string_view()
                           : std::string_view(reinterpret_cast<const char*>(text));
}

std::string_view valueView(const unsigned char** attribute) {
    return std::string_view(reinterpret_cast<const char*>(attribute[3]),
                            static_cast<std::size_t>(attribute[4] - attribute[3]));
}

}  // namespace

bool XmlAttributes::find(std::string_view localName, std::string_view& value,
                         bool anyNamespace) const {
    for (int i = 0; i < m_count; ++i) {
        const unsigned char** attribute = m_raw + 5 * i;
        if ((anyNamespace || attribute[2] == nullptr) && view(attribute[0]) == localName) {
            value = valueView(attribute);
            return true;
        }
    }
    return false;
}

bool XmlAttributes::findNamespaced(std::string_view localName, std::string_view uriSuffix,
                                   std::string_view& value) const {
    for (int i = 0; i < m_count; ++i) {
        const unsigned char** attribute = m_raw + 5 * i;
        if (attribute[2] != nullptr && view(attribute[0]) == localName &&
            view(attribute[2]).ends_with(uriSuffix)) {
            value = valueView(attribute);
            return true;
        }
    }
    return false;
}

struct XmlStreamCallbacks {
    static XmlStream& self(void* context) {
        return *static_cast<XmlStream*>(static_cast<xmlParserCtxtPtr>(context)->_private);
    }
    static void stopIfFailed(void* context) {
        XmlStream& stream = self(context);
        if (!stream.m_handler.failure.ok()) xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
    }
    static void start(void* context, const xmlChar* localName, const xmlChar*, const xmlChar*, int,
                      const xmlChar**, int attributeCount, int, const xmlChar** attributes) {
        XmlStream& stream = self(context);
        stream.m_handler.startElement(view(localName), XmlAttributes(attributes, attributeCount));
        stopIfFailed(context);
    }
    static void end(void* context, const xmlChar* localName, const xmlChar*, const xmlChar*) {
        self(context).m_handler.endElement(view(localName));
        stopIfFailed(context);
    }
    static void characters(void* context, const xmlChar* text, int length) {
        self(context).m_handler.characters(std::string_view(reinterpret_cast<const char*>(text),
                                                            static_cast<std::size_t>(length)));
        stopIfFailed(context);
    }
    static void doctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
        self(context).m_sawDoctype = true;
        xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
    }
    static void error(void* context, xmlErrorPtr error) {
        auto* parser = static_cast<xmlParserCtxtPtr>(context);
        if (parser == nullptr || parser->_private == nullptr || error == nullptr) return;
        XmlStream& stream = self(context);
        if (!stream.m_error.empty() || error->level < XML_ERR_ERROR) return;
        stream.m_error = xmlsafe::parseErrorPhrase(*error);
    }
};

XmlStream::XmlStream(std::string partName, XmlHandler& handler)
    : m_partName(std::move(partName)), m_handler(handler) {
    xmlsafe::initialise();
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = &XmlStreamCallbacks::start;
    sax.endElementNs = &XmlStreamCallbacks::end;
    sax.characters = &XmlStreamCallbacks::characters;
    sax.cdataBlock = &XmlStreamCallbacks::characters;
    sax.internalSubset = &XmlStreamCallbacks::doctype;
    sax.serror = &XmlStreamCallbacks::error;
    m_context = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, m_partName.c_str());
    if (m_context != nullptr) {
        m_context->_private = this;
        // The callbacks find this stream through the context.
        m_context->userData = m_context;
        xmlCtxtUseOptions(m_context,
                          xmlsafe::kParseOptions | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    }
}

XmlStream::~XmlStream() {
    if (m_context != nullptr) {
        if (m_context->myDoc != nullptr) xmlFreeDoc(m_context->myDoc);
        xmlFreeParserCtxt(m_context);
    }
}

support::Status XmlStream::failureStatus() {
    if (!m_handler.failure.ok()) {
        const support::Error& cause = m_handler.failure.error();
        return makeError(
            cause.code,
            //: %1 is a part of the workbook, %2 what is wrong in it
            support::withCause(support::Phrase{VELQUOR_TR_NOOP("core", "%1: %2"), {m_partName}},
                               cause));
    }
    if (m_sawDoctype) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "%1 carries a document type declaration, "
                                                         "which workbooks never need; refusing it"),
                                         {m_partName}});
    }
    if (!m_error.empty()) {
        //: %1 is a part of the workbook, %2 the XML parser's reason
        return makeError(
            ErrorCode::InvalidInput,
            support::withReason(
                support::Phrase{VELQUOR_TR_NOOP("core", "%1 is not well-formed XML (%2)"),
                                {m_partName}},
                m_error.english(), m_error));
    }
    return makeError(
        ErrorCode::InvalidInput,
        support::Phrase{VELQUOR_TR_NOOP("core", "%1 is not well-formed XML"), {m_partName}});
}

support::Status XmlStream::push(const char* data, int size, bool last) {
    if (m_context == nullptr) {
        return makeError(ErrorCode::Internal, "cannot set up the XML parser");
    }
    const int code = xmlParseChunk(m_context, data, size, last ? 1 : 0);
    if (code != 0 || !m_handler.failure.ok() || m_sawDoctype || !m_error.empty() ||
        (last && !m_context->wellFormed)) {
        return failureStatus();
    }
    return {};
}

support::Status XmlStream::feed(std::string_view chunk) {
    while (!chunk.empty()) {
        const std::size_t n = std::min<std::size_t>(chunk.size(), kParserChunkBytes);
        if (auto status = push(chunk.data(), static_cast<int>(n), false); !status) return status;
        chunk.remove_prefix(n);
    }
    return {};
}

support::Status XmlStream::finish() {
    return push(nullptr, 0, true);
}

std::string decodeEscapedText(std::string_view text) {
    std::string out;
    if (text.find("_x") == std::string_view::npos) return std::string(text);
    out.reserve(text.size());
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size();) {
        if (i + 7 <= text.size() && text[i] == '_' && text[i + 1] == 'x' && text[i + 6] == '_') {
            int code = 0;
            bool valid = true;
            for (std::size_t k = 2; k < 6; ++k) {
                const int digit = hexValue(text[i + k]);
                valid = valid && digit >= 0;
                code = code * 16 + std::max(digit, 0);
            }
            if (valid && !(code >= 0xD800 && code < 0xE000)) {
                // Only characters below U+0800 are ever escaped this way in practice, but
                // any BMP code point is accepted.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
                i += 7;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

}  // namespace velquor::sheet
