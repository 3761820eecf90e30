// Reads the XML declaration of a template; see xml_prolog.h.
#include "generator/template/xml_prolog.h"

#include <algorithm>
#include <cctype>

namespace velquor::generator {

namespace {

// The declaration is short; 512 characters is more than any real one needs.
constexpr std::size_t kPrologChars = 512;

// The first characters as ASCII, whatever the byte width: UTF-16 code units outside ASCII
// become '?', which cannot be part of a declaration anyway.
std::string asciiHead(std::string_view bytes, XmlProlog& prolog) {
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t start = 0;
    int width = 1;
    bool bigEndian = false;
    if (bytes.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        start = 3;
        prolog.utf8ByteOrderMark = true;
    } else if (bytes.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        start = 2, width = 2;
    } else if (bytes.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF) {
        start = 2, width = 2, bigEndian = true;
    } else if (bytes.size() >= 4 && byteAt(0) == '<' && byteAt(1) == 0 && byteAt(2) == '?' &&
               byteAt(3) == 0) {
        width = 2;
    } else if (bytes.size() >= 4 && byteAt(0) == 0 && byteAt(1) == '<' && byteAt(2) == 0 &&
               byteAt(3) == '?') {
        width = 2, bigEndian = true;
    }
    prolog.utf16 = width == 2;
    std::string head;
    for (std::size_t i = start; i + width <= bytes.size() && head.size() < kPrologChars;
         i += width) {
        unsigned unit = byteAt(i);
        if (width == 2)
            unit = bigEndian ? (unit << 8 | byteAt(i + 1)) : (byteAt(i + 1) << 8 | unit);
        head.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return head;
}

bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of pseudo-attribute name inside the declaration text, if present.
std::optional<std::string> pseudoAttribute(std::string_view declaration, std::string_view name) {
    std::size_t pos = 0;
    while ((pos = declaration.find(name, pos)) != std::string_view::npos) {
        const bool startsWord = pos > 0 && isXmlSpace(declaration[pos - 1]);
        std::size_t i = pos + name.size();
        pos = i;
        if (!startsWord) continue;
        while (i < declaration.size() && isXmlSpace(declaration[i])) ++i;
        if (i >= declaration.size() || declaration[i] != '=') continue;
        ++i;
        while (i < declaration.size() && isXmlSpace(declaration[i])) ++i;
        if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) continue;
        const char quote = declaration[i];
        const std::size_t end = declaration.find(quote, i + 1);
        if (end == std::string_view::npos) return std::nullopt;
        return std::string(declaration.substr(i + 1, end - i - 1));
    }
    return std::nullopt;
}

}  // namespace

XmlProlog readXmlProlog(std::string_view bytes) {
    XmlProlog prolog;
    const std::string head = asciiHead(bytes, prolog);
    if (head.size() < 6 || head.compare(0, 5, "<?xml") != 0 || !isXmlSpace(head[5])) {
        return prolog;
    }
    const std::size_t end = head.find("?>");
    if (end == std::string::npos) return prolog;
    prolog.hasDeclaration = true;
    prolog.declaredEncoding = pseudoAttribute(std::string_view(head).substr(0, end), "encoding");
    if (!prolog.utf16) {
        prolog.declarationText = head.substr(0, end + 2);
    }
    return prolog;
}

bool sameEncodingName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace velquor::generator
