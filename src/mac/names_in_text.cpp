// The MACs a text names; see names_in_text.h.
#include "mac/names_in_text.h"

#include <algorithm>
#include <array>
#include <optional>

#include "mac/mac_address.h"

namespace velquor::mac {

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The ways a MAC is written in a name: its length and the separator between its groups.
struct MacShape {
    std::size_t length;
    char separator;  // 0: none
};
constexpr std::array<MacShape, 4> kMacShapes{{{12, 0}, {17, ':'}, {17, '-'}, {14, '.'}}};

// The MAC of the given shape whose last digit ends just before end, when the text has one
// there that no digit or group of the same grouping continues.
std::optional<std::string> macEndingAt(std::string_view text, std::size_t end, MacShape shape) {
    if (end < shape.length) return std::nullopt;
    const std::size_t start = end - shape.length;
    const std::string_view written = text.substr(start, shape.length);
    if (!isHexDigit(written.front())) return std::nullopt;
    if (shape.separator == 0) {
        // A longer run of digits is a maker's prefix and the MAC: its last 12 are the MAC.
        if (!std::all_of(written.begin(), written.end(), isHexDigit)) return std::nullopt;
        return canonicalMac(written);
    }
    if (written.find(shape.separator) == std::string_view::npos) return std::nullopt;
    const auto groupGoesOn = [&](std::size_t separatorAt, std::size_t digitAt) {
        return separatorAt < text.size() && digitAt < text.size() &&
               text[separatorAt] == shape.separator && isHexDigit(text[digitAt]);
    };
    if (start > 0 && isHexDigit(text[start - 1])) return std::nullopt;
    if (start > 1 && groupGoesOn(start - 1, start - 2)) return std::nullopt;
    if (groupGoesOn(end, end + 1)) return std::nullopt;
    return canonicalMac(written);
}

}  // namespace

std::vector<std::string> macsNamedIn(std::string_view text) {
    std::vector<std::string> macs;
    for (std::size_t end = 1; end <= text.size(); ++end) {
        const bool digitsEnd =
            isHexDigit(text[end - 1]) && (end == text.size() || !isHexDigit(text[end]));
        if (!digitsEnd) continue;
        for (const MacShape& shape : kMacShapes) {
            std::optional<std::string> mac = macEndingAt(text, end, shape);
            if (mac && std::find(macs.begin(), macs.end(), *mac) == macs.end())
                macs.push_back(std::move(*mac));
        }
    }
    return macs;
}

}  // namespace velquor::mac
