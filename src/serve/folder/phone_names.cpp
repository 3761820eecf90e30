// Finding the MAC address in a file name; see phone_names.h.
#include "serve/folder/phone_names.h"

#include <cctype>

#include "mac/mac_address.h"

namespace velquor::serve {
namespace {

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::optional<std::string> macInName(std::string_view name) {
    // The usual spellings' lengths: six pairs with separators, three quads with dots, plain.
    static constexpr std::size_t kLengths[] = {17, 14, 12};
    for (std::size_t start = 0; start + 12 <= name.size(); ++start) {
        if (!isHex(name[start]) || (start > 0 && isHex(name[start - 1]))) continue;
        for (std::size_t length : kLengths) {
            if (start + length > name.size()) continue;
            const std::string_view window = name.substr(start, length);
            if (!isHex(window.back())) continue;
            if (start + length < name.size() && isHex(name[start + length])) continue;
            const mac::Reading reading(window);
            if (!reading.ok()) continue;
            return reading.address().canonical();
        }
    }
    return std::nullopt;
}

}  // namespace velquor::serve
