// The settings keys; see key_rules.h.
#include "settings/key_rules.h"

#include <algorithm>
#include <cctype>

#include "settings/settings_text.h"

namespace velquor::settings {
namespace {

using support::ErrorCode;
using support::makeError;

template <typename T, typename Parse>
support::Status assign(std::optional<T>& field, std::string_view text, Parse parse) {
    auto value = parse(text);
    if (!value) return value.error();
    field = std::move(*value);
    return {};
}

support::Status readCaFile(std::string_view text, KestoValues& into) {
    const std::string_view path = trimmed(text);
    if (path.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core", "a file name is needed"), {}});
    }
    if (path.size() > kMaxPathBytes) {
        //: %1 and %2 are byte counts
        return makeError(
            ErrorCode::InvalidInput,
            support::Phrase{VELQUOR_TR_NOOP("core",
                                            "the file name is %1 bytes long, more "
                                            "than the %2 a path may have"),
                            {std::to_string(path.size()), std::to_string(kMaxPathBytes)}});
    }
    into.caFile = std::string(path);
    return {};
}

const KeyRule kKeys[] = {
    {kSection, "address",
     [](std::string_view t, KestoValues& v) { return assign(v.address, t, parseAddress); },
     [](const KestoValues& v) { return v.address; }},
    {kSection, "ports",
     [](std::string_view t, KestoValues& v) { return assign(v.ports, t, parsePorts); },
     [](const KestoValues& v) {
         return v.ports ? std::optional(formatPorts(*v.ports)) : std::nullopt;
     }},
    {kSection, "ca-file", readCaFile, [](const KestoValues& v) { return v.caFile; }},
    {kSection, "connect-timeout",
     [](std::string_view t, KestoValues& v) { return assign(v.connectTimeout, t, parseSeconds); },
     [](const KestoValues& v) {
         return v.connectTimeout ? std::optional(formatSeconds(*v.connectTimeout)) : std::nullopt;
     }},
    {kSection, "exchange-timeout",
     [](std::string_view t, KestoValues& v) { return assign(v.exchangeTimeout, t, parseSeconds); },
     [](const KestoValues& v) {
         return v.exchangeTimeout ? std::optional(formatSeconds(*v.exchangeTimeout)) : std::nullopt;
     }},
    {kSection, "jobs",
     [](std::string_view t, KestoValues& v) { return assign(v.jobs, t, parseJobs); },
     [](const KestoValues& v) {
         return v.jobs ? std::optional(std::to_string(*v.jobs)) : std::nullopt;
     }},
    {kDevicesSection, "mac-form",
     [](std::string_view t, KestoValues& v) { return assign(v.macForm, t, parseMacForm); },
     [](const KestoValues& v) {
         return v.macForm ? std::optional(std::string(mac::formName(*v.macForm))) : std::nullopt;
     }},
    {kDevicesSection, "file-name",
     [](std::string_view t, KestoValues& v) { return assign(v.fileName, t, parseFileName); },
     [](const KestoValues& v) {
         return v.fileName ? std::optional(v.fileName->text()) : std::nullopt;
     }},
    {kWindowSection, "language",
     [](std::string_view t, KestoValues& v) { return assign(v.language, t, parseLanguage); },
     [](const KestoValues& v) { return v.language; }},
};

constexpr std::string_view kSections[] = {kSection, kDevicesSection, kWindowSection};

}  // namespace

std::span<const KeyRule> keyRules() {
    return kKeys;
}

std::span<const std::string_view> sections() {
    return kSections;
}

bool knownSection(std::string_view section) {
    return std::find(std::begin(kSections), std::end(kSections), section) != std::end(kSections);
}

const KeyRule* ruleFor(std::string_view section, std::string_view key) {
    const KeyRule* rule = ruleFor(key);
    return rule != nullptr && rule->section == section ? rule : nullptr;
}

const KeyRule* ruleFor(std::string_view key) {
    const std::string lower = lowerCase(trimmed(key));
    for (const KeyRule& rule : kKeys) {
        if (rule.key == lower) return &rule;
    }
    return nullptr;
}

std::string qualifiedKey(const KeyRule& rule) {
    return "[" + std::string(rule.section) + "] " + std::string(rule.key);
}

bool givesKey(const KestoValues& values, std::string_view key) {
    const KeyRule* rule = ruleFor(key);
    return rule != nullptr && rule->write(values).has_value();
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

}  // namespace velquor::settings
