// The keys of the settings files' sections ([kesto], [devices], and [window] that only the
// window reads):
// how each one's text becomes a value and how the value is written back. Shared by the files'
// reader and writer and the command-line options.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "settings/kesto_settings.h"
#include "support/result.h"

namespace velquor::settings {

inline constexpr std::string_view kSection = "kesto";
// How device files and records write a MAC address, and what the files are named.
inline constexpr std::string_view kDevicesSection = "devices";
// The window's own keys; velquor-cli reads past them.
inline constexpr std::string_view kWindowSection = "window";
// The longest file name a ca-file may hold, as the system's own limit on a path.
inline constexpr std::size_t kMaxPathBytes = 4096;

struct KeyRule {
    std::string_view section;
    std::string_view key;  // unique across the sections
    support::Status (*read)(std::string_view text, KestoValues& into);
    std::optional<std::string> (*write)(const KestoValues& from);
};

std::span<const KeyRule> keyRules();
// The sections the rules belong to, in the order a new file gets them.
std::span<const std::string_view> sections();
bool knownSection(std::string_view section);
// The rule of a key of a section as spelled in a file (any case, spaces around it); nullptr for
// none.
const KeyRule* ruleFor(std::string_view section, std::string_view key);
// The rule of a key, whatever its section; nullptr for none.
const KeyRule* ruleFor(std::string_view key);
// "[section] key", as messages name a key.
std::string qualifiedKey(const KeyRule& rule);
// Whether values gives the key's value.
bool givesKey(const KestoValues& values, std::string_view key);

std::string lowerCase(std::string_view text);

}  // namespace velquor::settings
