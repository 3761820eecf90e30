// Splicing device values into a template's saved form; see compiled_output.h.
#include "generator/template/compiled_output.h"

#include <algorithm>

namespace velquor::generator {

std::string CompiledOutput::marker(std::size_t slot) {
    // Plain ASCII that no escaping or encoding changes; the 'q' ends the number so that
    // slot 1's marker is not a prefix of slot 10's.
    return "@@vq" + std::to_string(slot) + "q5e1c9d0b7a@@";
}

namespace {

// The serialiser's escapes: & < > and carriage return everywhere, and in an attribute value
// also the quote, tab and line feed.
const char* escapeOf(char c, bool attribute) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '\r':
            return "&#13;";
        case '"':
            return attribute ? "&quot;" : nullptr;
        case '\t':
            return attribute ? "&#9;" : nullptr;
        case '\n':
            return attribute ? "&#10;" : nullptr;
        default:
            return nullptr;
    }
}

// Runs of characters that need no escape, most values whole, are appended at once.
void appendEscaped(std::string& out, std::string_view value, bool attribute) {
    std::size_t from = 0;
    for (std::size_t at = 0; at < value.size(); ++at) {
        const char* escape = escapeOf(value[at], attribute);
        if (escape == nullptr) continue;
        out.append(value.substr(from, at - from));
        out += escape;
        from = at + 1;
    }
    out.append(value.substr(from));
}

}  // namespace

void appendEscapedText(std::string& out, std::string_view value) {
    appendEscaped(out, value, false);
}

void appendEscapedAttribute(std::string& out, std::string_view value) {
    appendEscaped(out, value, true);
}

std::string_view ValueSlot::valueIn(std::span<const std::string_view> values) const {
    const std::string_view value = entry >= 0 && static_cast<std::size_t>(entry) < values.size()
                                       ? values[static_cast<std::size_t>(entry)]
                                       : std::string_view();
    return value.empty() && fallback ? std::string_view(*fallback) : value;
}

std::optional<CompiledOutput> CompiledOutput::cut(const std::string& text,
                                                  std::vector<ValueSlot> slots, Charset charset) {
    struct Found {
        std::size_t position;
        std::size_t slot;
    };
    std::vector<Found> found;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const std::string mark = marker(i);
        const std::size_t at = text.find(mark);
        if (at == std::string::npos || text.find(mark, at + 1) != std::string::npos) {
            return std::nullopt;
        }
        found.push_back(Found{at, i});
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.position < b.position; });

    CompiledOutput compiled;
    compiled.m_charset = charset;
    std::size_t from = 0;
    for (const Found& f : found) {
        const std::string closing = "</" + slots[f.slot].elementName + ">";
        const std::size_t after = f.position + marker(f.slot).size();
        if (f.position < from + (slots[f.slot].kind == SlotKind::Element ? 1 : 0) ||
            (slots[f.slot].kind == SlotKind::Element &&
             (text[f.position - 1] != '>' || text.compare(after, closing.size(), closing) != 0))) {
            return std::nullopt;
        }
        compiled.m_pieces.push_back(Piece{text.substr(from, f.position - from), slots[f.slot]});
        compiled.m_fixedBytes += f.position - from;
        from = after;
    }
    compiled.m_tail = text.substr(from);
    compiled.m_fixedBytes += compiled.m_tail.size();
    return compiled;
}

std::optional<std::string> CompiledOutput::render(std::span<const std::string_view> values) const {
    std::string out;
    out.reserve(m_fixedBytes + 256);
    // An element left empty is written as <Name/>: its start tag's '>' and its end tag go.
    std::size_t skip = 0;
    for (const Piece& piece : m_pieces) {
        const std::string_view value = piece.slot.valueIn(values);
        if (m_charset == Charset::AsciiCompatible &&
            std::any_of(value.begin(), value.end(), [](char c) { return c & 0x80; })) {
            return std::nullopt;
        }
        if (piece.slot.kind != SlotKind::Element) {
            out.append(piece.before, skip);
            if (piece.slot.kind == SlotKind::Text) {
                appendEscapedText(out, value);
            } else {
                appendEscapedAttribute(out, value);
            }
            skip = 0;
        } else if (value.empty()) {
            out.append(piece.before, skip, piece.before.size() - skip - 1);
            out += "/>";
            skip = piece.slot.elementName.size() + 3;
        } else {
            out.append(piece.before, skip);
            appendEscapedText(out, value);
            skip = 0;
        }
    }
    out.append(m_tail, skip);
    return out;
}

}  // namespace velquor::generator
