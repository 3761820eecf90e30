// Small pieces shared by the readers of a workbook's parts: streaming one part through a
// handler, and reading attribute values.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sheet/xml_stream.h"
#include "sheet/zip_archive.h"
#include "support/result.h"

namespace velquor::sheet {

inline support::Status parsePart(ZipArchive& archive, const std::string& part,
                                 XmlHandler& handler) {
    XmlStream stream(part, handler);
    auto status = archive.read(part, [&](std::string_view chunk) { return stream.feed(chunk); });
    if (!status) return status;
    return stream.finish();
}

inline std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.size() > 18) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

inline bool isTrue(std::string_view text) {
    return text == "1" || text == "true";
}

// Quoted for a message, cut short when long.
inline std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string shown(text.substr(0, kShown));
    if (text.size() > kShown) shown += "...";
    return "\"" + shown + "\"";
}

}  // namespace velquor::sheet
