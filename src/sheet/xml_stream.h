// XmlStream: a streaming (SAX2 push) parser for the XML parts of a workbook, locked down
// against hostile input: no DOCTYPE, no entities beyond the predefined ones, no network.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"

struct _xmlParserCtxt;

namespace velquor::sheet {

// The attributes of one start tag, as libxml2 hands them over (5 pointers each).
class XmlAttributes {
public:
    XmlAttributes(const unsigned char** raw, int count) : m_raw(raw), m_count(count) {}
    // The value of the attribute with this local name and no namespace (or any namespace
    // when anyNamespace); nullopt-like empty view with found=false when absent.
    bool find(std::string_view localName, std::string_view& value, bool anyNamespace = false) const;
    // The value of an attribute in a namespace whose URI ends with uriSuffix.
    bool findNamespaced(std::string_view localName, std::string_view uriSuffix,
                        std::string_view& value) const;

    // Calls visit(localName, value) for each attribute without a namespace.
    template <typename Visit>
    void forEach(Visit&& visit) const {
        for (int i = 0; i < m_count; ++i) {
            const unsigned char** attribute = m_raw + 5 * i;
            if (attribute[2] != nullptr) continue;
            visit(std::string_view(reinterpret_cast<const char*>(attribute[0])),
                  std::string_view(reinterpret_cast<const char*>(attribute[3]),
                                   static_cast<std::size_t>(attribute[4] - attribute[3])));
        }
    }

private:
    const unsigned char** m_raw;
    int m_count;
};

class XmlHandler {
public:
    virtual ~XmlHandler() = default;
    virtual void startElement(std::string_view localName, const XmlAttributes& attributes) = 0;
    virtual void endElement(std::string_view localName) = 0;
    virtual void characters(std::string_view) {}
    // A handler that finds the content wrong sets this; parsing stops at once.
    support::Status failure;
};

// Feeds one part to a handler chunk by chunk. Errors name the part and the line.
class XmlStream {
public:
    XmlStream(std::string partName, XmlHandler& handler);
    ~XmlStream();
    XmlStream(const XmlStream&) = delete;
    XmlStream& operator=(const XmlStream&) = delete;

    support::Status feed(std::string_view chunk);
    support::Status finish();

private:
    support::Status push(const char* data, int size, bool last);
    support::Status failureStatus();

    std::string m_partName;
    XmlHandler& m_handler;
    _xmlParserCtxt* m_context = nullptr;
    support::Phrase m_error;  // the parser's first complaint
    bool m_sawDoctype = false;

    friend struct XmlStreamCallbacks;
};

// Turns the _xHHHH_ escapes that workbook strings use for control characters back into text.
std::string decodeEscapedText(std::string_view text);

}  // namespace velquor::sheet
