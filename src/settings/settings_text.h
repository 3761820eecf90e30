// Text helpers shared by the settings files' reader and the value syntax.
#pragma once

#include <cctype>
#include <string_view>

namespace velquor::settings {

// text without the white space around it.
inline std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace velquor::settings
