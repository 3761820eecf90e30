// The value syntax shared by the settings files and the command line: addresses, ports,
// seconds and job counts, read and written the same way everywhere.
#include <algorithm>
#include <cctype>
#include <charconv>

#include "net/host_address.h"
#include "settings/kesto_settings.h"
#include "settings/settings_text.h"

namespace velquor::settings {

using support::ErrorCode;
using support::makeError;

namespace {

std::string_view withoutBrackets(std::string_view address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

}  // namespace

std::string hostAndPort(std::string_view address, std::uint16_t port) {
    const std::string_view bare = withoutBrackets(address);
    const bool ipv6 = bare.find(':') != std::string_view::npos;
    return (ipv6 ? "[" + std::string(bare) + "]" : std::string(bare)) + ":" + std::to_string(port);
}

support::Result<std::string> parseAddress(std::string_view text) {
    auto host = net::parseHostAddress(trimmed(text));
    if (!host) return host.error();
    return std::move(host->address);
}

namespace {

support::Result<std::uint16_t> parsePort(std::string_view text) {
    text = trimmed(text);
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > 65535) {
        //: %1 is the value given
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "'%1' is not a port number (1-65535)"),
                            {std::string(text)}});
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

support::Result<KestoPorts> parsePorts(std::string_view text) {
    KestoPorts ports{};
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (count == ports.size()) {
            count = ports.size() + 1;  // too many
            break;
        }
        auto port = parsePort(item);
        if (!port) return port.error();
        ports[count++] = *port;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (count != ports.size()) {
        //: %1 is the value given
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "three ports are needed, "
                                                         "LOGIN,ACCOUNT,DEVICE, not '%1'"),
                                         {std::string(trimmed(text))}});
    }
    return ports;
}

support::Result<std::chrono::milliseconds> parseSeconds(std::string_view text) {
    text = trimmed(text);
    const auto bad = [&text] {
        //: %1 is the value given
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "'%1' is not a number of seconds (0.1 to "
                                                         "3600, at most 3 decimals)"),
                                         {std::string(text)}});
    };
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if ((whole.empty() && fraction.empty()) || fraction.size() > 3 ||
        (point != std::string_view::npos && fraction.empty())) {
        return bad();
    }
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    };
    if (!digits(whole) || !digits(fraction) || whole.size() > 4) return bad();
    long long milliseconds = 0;
    for (char c : whole) milliseconds = milliseconds * 10 + (c - '0');
    milliseconds *= 1000;
    long long scale = 100;
    for (char c : fraction) {
        milliseconds += (c - '0') * scale;
        scale /= 10;
    }
    if (milliseconds < 100 || milliseconds > 3'600'000) return bad();
    return std::chrono::milliseconds(milliseconds);
}

support::Result<std::size_t> parseJobs(std::string_view text) {
    text = trimmed(text);
    std::size_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
        value > kMaxJobs) {
        //: %1 is the value given, %2 the largest number allowed
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core", "'%1' is not a number from 1 to %2"),
                            {std::string(text), std::to_string(kMaxJobs)}});
    }
    return value;
}

support::Result<mac::Form> parseMacForm(std::string_view text) {
    text = trimmed(text);
    if (const auto form = mac::parseForm(text)) return *form;
    //: %1 is the value given, %2 the words allowed ("plain, lower, upper, as-written")
    return makeError(ErrorCode::InvalidInput,
                     support::Phrase{VELQUOR_TR_NOOP("core", "'%1' is not one of %2"),
                                     {std::string(text), std::string(mac::formNames())}});
}

support::Result<mac::FileNamePattern> parseFileName(std::string_view text) {
    return mac::FileNamePattern::parse(text);
}

// A language code: two or three letters, then parts of letters and digits after '_' or '-'
// (a territory, a script); "auto" follows the desktop.
support::Result<std::string> parseLanguage(std::string_view text) {
    text = trimmed(text);
    if (text == kAutomaticLanguage) return std::string(text);
    const auto isAlpha = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
    const auto isAlnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    const std::size_t first = text.find_first_of("_-");
    const std::string_view language = text.substr(0, first);
    bool valid = language.size() >= 2 && language.size() <= 3 &&
                 std::all_of(language.begin(), language.end(), isAlpha);
    for (std::size_t at = first; valid && at != std::string_view::npos;) {
        const std::size_t next = text.find_first_of("_-", at + 1);
        const std::string_view part = text.substr(
            at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        valid = !part.empty() && part.size() <= 8 && std::all_of(part.begin(), part.end(), isAlnum);
        at = next;
    }
    if (!valid) {
        //: %1 is the value given; 'auto' is the word to write as it is
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "'%1' is neither 'auto' nor a language "
                                                         "code such as zh_CN or en"),
                                         {std::string(text)}});
    }
    return std::string(text);
}

std::string formatPorts(const KestoPorts& ports) {
    return std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," +
           std::to_string(ports[2]);
}

std::string formatSeconds(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (const auto rest = ms % 1000; rest != 0) {
        std::string fraction = std::to_string(1000 + rest).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}

}  // namespace velquor::settings
