// Hexadecimal encoding, decoding and escaping; see hex.h.
#include "support/hex.h"

namespace velquor::support {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

void appendHexByte(std::string& out, unsigned char byte) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0f]);
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string hexEncode(std::string_view bytes) {
    std::string text(bytes.size() * 2, '\0');
    hexEncodeInto(bytes, text.data());
    return text;
}

void hexEncodeInto(std::string_view bytes, char* out) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        *out++ = kDigits[byte >> 4];
        *out++ = kDigits[byte & 0x0f];
    }
}

Result<std::string> hexDecode(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return makeError(ErrorCode::InvalidInput, "hexadecimal text has an odd number of digits");
    }
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digitValue(hex[i]);
        const int low = digitValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return makeError(ErrorCode::InvalidInput, "not a hexadecimal digit at position " +
                                                          std::to_string(high < 0 ? i + 1 : i + 2));
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

std::string escapeNonPrintable(std::string_view text, std::string_view alsoEscaped) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && alsoEscaped.find(c) == std::string_view::npos) {
            escaped.push_back(c);
        } else {
            escaped += "\\x";
            appendHexByte(escaped, byte);
        }
    }
    return escaped;
}

std::string escapeControls(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xc2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xe0) == 0x80;
        if (byte >= 0x20 && byte != 0x7f && byte != '\\' && !c1) {
            escaped.push_back(text[i]);
            continue;
        }
        escaped += "\\x";
        appendHexByte(escaped, byte);
        if (c1) {
            escaped += "\\x";
            appendHexByte(escaped, static_cast<unsigned char>(text[++i]));
        }
    }
    return escaped;
}

}  // namespace velquor::support
