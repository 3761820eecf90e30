// The keys of the [kesto] and [devices] sections: how each one's text becomes a value and how the
// value is written back. Shared by the files' reader and writer and the command-line options.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "settings/kesto_settings.h"
#include "support/result.h"

namespace velquor::settings {

inline constexpr std::string_view kSection = "kesto";
inline constexpr std::string_view kDevicesSection = "devices";
// The longest file name a ca-file may hold, as the system's own limit on a path.
inline constexpr std::size_t kMaxPathBytes = 4096;

struct KeyRule {
    std::string_view section;
    std::string_view key;
    support::Status (*read)(std::string_view text, KestoValues& into);
    std::optional<std::string> (*write)(const KestoValues& from);
};

std::span<const KeyRule> keyRules();
// The rule of a key as spelled in a file (any case, spaces around it); nullptr for none.
const KeyRule* ruleFor(std::string_view key);
// The same, only when the key belongs to section (spelled in lower case).
const KeyRule* ruleFor(std::string_view section, std::string_view key);
bool isKnownSection(std::string_view section);
// "[section] key", as messages name a key.
std::string keyName(const KeyRule& rule);
// Whether values gives the key's value.
bool givesKey(const KestoValues& values, std::string_view key);

std::string lowerCase(std::string_view text);

}  // namespace velquor::settings
