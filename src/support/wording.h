// Small pieces of English shared by the texts the programs show.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velquor::support {

// "1 file", "3 files": the count and the form that goes with it.
inline std::string plural(std::size_t count, std::string_view one, std::string_view many) {
    std::string text = std::to_string(count);
    text += ' ';
    text += count == 1 ? one : many;
    return text;
}

}  // namespace velquor::support
