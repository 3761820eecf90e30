// The one rule for the server's address; see host_address.h.
#include "net/host_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

#include "support/translatable.h"

namespace velquor::net {
namespace {

constexpr std::size_t kMostNameLength = 253;
constexpr std::size_t kMostLabelLength = 63;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool letterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isLabel(std::string_view label) {
    return !label.empty() && label.size() <= kMostLabelLength && letterOrDigit(label.front()) &&
           letterOrDigit(label.back()) && std::all_of(label.begin(), label.end(), [](char c) {
               return letterOrDigit(c) || c == '-';
           });
}

// The name without its final dot, checked label by label. All digits and dots is a mistyped
// IPv4 address ("192.0.2"), not a name.
bool isHostName(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    if (name.empty() || name.size() > kMostNameLength) return false;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find('.', start), name.size());
        if (!isLabel(name.substr(start, end - start))) return false;
        start = end + 1;
    }
    return !std::all_of(name.begin(), name.end(),
                        [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool parses(int family, const std::string& text) {
    unsigned char binary[sizeof(in6_addr)];
    return ::inet_pton(family, text.c_str(), binary) == 1;
}

}  // namespace

std::string HostAddress::certified() const {
    if (kind == HostKind::Name && address.ends_with('.')) {
        return address.substr(0, address.size() - 1);
    }
    return address;
}

support::Result<HostAddress> parseHostAddress(std::string_view text) {
    const std::string_view given = trimmed(text);
    const bool bracketed = given.size() >= 2 && given.front() == '[' && given.back() == ']';
    const std::string bare(bracketed ? given.substr(1, given.size() - 2) : given);
    if (parses(AF_INET6, bare)) return HostAddress{HostKind::Ipv6, bare};
    if (!bracketed && parses(AF_INET, bare)) return HostAddress{HostKind::Ipv4, bare};
    if (!bracketed && isHostName(bare)) return HostAddress{HostKind::Name, bare};
    //: %1 is the value given
    return support::makeError(
        support::ErrorCode::InvalidInput,
        support::Phrase{VELQUOR_TR_NOOP("core",
                                        "'%1' is not a host name, an IPv4 address or an IPv6 "
                                        "address"),
                        {std::string(given)}});
}

}  // namespace velquor::net
