// Server texts shown without their passwords; see server_text.h.
#include "wire/server_text.h"

#include <algorithm>
#include <utility>

namespace velquor::wire {

namespace {

constexpr std::string_view kMask = "****";

// Where the password of the text's user information lies: [first, last) (empty when none).
std::pair<std::size_t, std::size_t> passwordSpan(std::string_view text) {
    const std::size_t scheme = text.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t end = std::min(text.find_first_of("/?#", start), text.size());
    const std::string_view authority = text.substr(start, end - start);
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos) return {0, 0};
    const std::size_t colon = authority.substr(0, at).find(':');
    if (colon == std::string_view::npos) return {0, 0};
    return {start + colon + 1, start + at};
}

}  // namespace

std::string maskedServerText(std::string_view text) {
    const auto [first, last] = passwordSpan(text);
    if (first == last && first == 0) return std::string(text);
    std::string masked(text.substr(0, first));
    masked += kMask;
    masked += text.substr(last);
    return masked;
}

bool holdsPassword(std::string_view text) {
    const auto [first, last] = passwordSpan(text);
    return !(first == 0 && last == 0);
}

}  // namespace velquor::wire
