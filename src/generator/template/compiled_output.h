// A template's saved form cut at the values a device row fills in, so that each device's file
// is the fixed text with the row's escaped values spliced in, instead of a walk and
// serialisation of the whole tree per device. Bulk runs are bound by file creation; this keeps
// the XML work per device to a copy of the template's bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::generator {

enum class SlotKind {
    Element,    // the whole content of the element named: an empty value gives <Name/>
    Text,       // part of a text: escaped as text, nothing for an empty value
    Attribute,  // part of an attribute value: escaped as one
};

struct ValueSlot {
    int entry;                // the row value whose text goes here; -1 for none
    std::string elementName;  // the element the text sits in (Element slots)
    SlotKind kind = SlotKind::Element;
    // Taken when the row's value is empty or there is none ({{Name|default}}).
    std::optional<std::string> fallback{};
    // The value goes into a CDATA section, which carries no character references.
    bool inCdata = false;

    // The text this slot takes from a row's values.
    std::string_view valueIn(std::span<const std::string_view> values) const;
};

class CompiledOutput {
public:
    enum class Charset {
        Utf8,             // any value can be spliced in as it is (after escaping)
        AsciiCompatible,  // only ASCII values can; others need the encoder of the serialiser
    };

    // The stand-in value of slot i while the template is serialised for cutting.
    static std::string marker(std::size_t slot);

    // text is the serialised document with marker(i) as the only content of slot i's element.
    // nullopt when the text cannot be cut safely (a marker missing or repeated, or not
    // enclosed by its element's tags): callers then serialise the tree for every device.
    static std::optional<CompiledOutput> cut(const std::string& text, std::vector<ValueSlot> slots,
                                             Charset charset);

    // The file for a row's values; nullopt when a value needs the serialiser's encoder.
    std::optional<std::string> render(std::span<const std::string_view> values) const;

private:
    struct Piece {
        std::string before;  // the text up to the value, ending with the start tag's '>'
        ValueSlot slot;
    };
    std::vector<Piece> m_pieces;  // in document order
    std::string m_tail;
    Charset m_charset = Charset::Utf8;
    std::size_t m_fixedBytes = 0;
};

// Text content escaped as the serialiser escapes it: & < > and carriage return.
void appendEscapedText(std::string& out, std::string_view value);
// An attribute value escaped as the serialiser escapes it: & < > " and tab, line feed and
// carriage return as character references.
void appendEscapedAttribute(std::string& out, std::string_view value);

}  // namespace velquor::generator
