// Reading the two settings files with libinih, laying the sources over one another, writing
// the per-user file back, and finding the CA certificate; see kesto_settings.h.
#include "settings/kesto_settings.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "settings/key_rules.h"
#include "settings/settings_file.h"
#include "settings/settings_text.h"
#include "support/atomic_file.h"
#include "support/trusted_file.h"
#include "wire/kesto_address.h"
#include "wire/wire_records.h"

namespace velquor::settings {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr std::uint64_t kLargestSettingsFile = 1 << 20;

struct Source {
    Origin origin;
    const KestoValues* values;
    std::filesystem::path file;  // empty for the command line and the defaults
    const std::map<std::string, int>* lines;
};

ValueOrigin originOf(const Source& source, std::string_view key) {
    ValueOrigin from{source.origin, {}};
    if (source.origin == Origin::CommandLine) from.where = "command line";
    if (!source.file.empty()) {
        from.where = source.file.string();
        if (auto line = source.lines->find(std::string(key)); line != source.lines->end()) {
            from.where += ":" + std::to_string(line->second);
        }
    }
    return from;
}

template <typename T>
Effective<T> pick(const std::vector<Source>& sources, std::string_view key,
                  std::optional<T> KestoValues::*field) {
    for (const Source& source : sources) {
        if (const auto& value = source.values->*field) return {*value, originOf(source, key)};
    }
    return {};
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// $HOME, or the account's home folder when HOME is unset (a service, a bare sudo).
std::filesystem::path homeFolder() {
    if (std::string home = environment("HOME"); !home.empty()) return home;
    if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_dir) {
        return account->pw_dir;
    }
    return "/";
}

}  // namespace

KestoValues builtInDefaults() {
    KestoValues defaults;
    defaults.address = std::string(wire::kDefaultServerAddress);
    defaults.ports = KestoPorts{wire::kLoginPort, wire::kAccountPort, wire::kDevicePort};
    defaults.caFile = std::string();
    defaults.connectTimeout = std::chrono::seconds(5);
    defaults.exchangeTimeout = std::chrono::seconds(10);
    defaults.jobs = 16;
    defaults.macForm = mac::kDefaultForm;
    defaults.fileName = mac::FileNamePattern();
    defaults.language = std::string(kAutomaticLanguage);
    return defaults;
}

SettingsPaths defaultSettingsPaths() {
    SettingsPaths paths;
    const std::string system = environment("VELQUOR_SYSTEM_CONFIG_DIR");
    paths.systemFolder =
        system.empty() ? std::filesystem::path("/etc/velquor") : std::filesystem::path(system);
    // XDG_CONFIG_HOME must be an absolute path; a relative one is ignored.
    const std::string xdg = environment("XDG_CONFIG_HOME");
    if (!xdg.empty() && std::filesystem::path(xdg).is_absolute()) {
        paths.userFolder = std::filesystem::path(xdg) / "velquor";
    } else {
        paths.userFolder = homeFolder() / ".config" / "velquor";
    }
    return paths;
}

support::Result<LoadedSettings> loadSettings(const KestoValues& commandLine,
                                             const SettingsPaths& paths) {
    LoadedSettings loaded;
    auto system = readSettingsFile(paths.systemFile(), commandLine, loaded.warningPhrases);
    if (!system) return system.error();
    auto user = readSettingsFile(paths.userFile(), commandLine, loaded.warningPhrases);
    if (!user) return user.error();
    for (const support::Phrase& warning : loaded.warningPhrases) {
        loaded.warnings.push_back(warning.english());
    }
    loaded.system = system->values;
    loaded.user = user->values;

    const KestoValues defaults = builtInDefaults();
    const std::map<std::string, int> noLines;
    const std::vector<Source> sources{
        {Origin::CommandLine, &commandLine, {}, &noLines},
        {Origin::UserFile, &loaded.user, paths.userFile(), &user->lines},
        {Origin::SystemFile, &loaded.system, paths.systemFile(), &system->lines},
        {Origin::BuildDefault, &defaults, {}, &noLines},
    };
    KestoSettings& effective = loaded.effective;
    effective.address = pick(sources, "address", &KestoValues::address);
    effective.ports = pick(sources, "ports", &KestoValues::ports);
    effective.caFile = pick(sources, "ca-file", &KestoValues::caFile);
    effective.connectTimeout = pick(sources, "connect-timeout", &KestoValues::connectTimeout);
    effective.exchangeTimeout = pick(sources, "exchange-timeout", &KestoValues::exchangeTimeout);
    effective.jobs = pick(sources, "jobs", &KestoValues::jobs);
    effective.macForm = pick(sources, "mac-form", &KestoValues::macForm);
    effective.fileName = pick(sources, "file-name", &KestoValues::fileName);
    effective.language = pick(sources, "language", &KestoValues::language);
    return loaded;
}

support::Result<KestoValues> valuesFromOptions(
    const std::function<std::optional<std::string>(const std::string& option)>& valueOf) {
    KestoValues values;
    std::map<std::string_view, std::string_view> given;  // key -> the option that gave it
    for (const SettingOption& option : kSettingOptions) {
        const auto text = valueOf(std::string(option.option));
        if (!text) continue;
        if (auto twice = given.find(option.key); twice != given.end()) {
            return makeError(ErrorCode::Usage, "give " + std::string(twice->second) + " or " +
                                                   std::string(option.option) + ", not both");
        }
        given[option.key] = option.option;
        if (auto read = ruleFor(option.key)->read(*text, values); !read) {
            return makeError(ErrorCode::Usage,
                             std::string(option.option) + ": " + read.error().message);
        }
    }
    return values;
}

namespace {

// Whether this process has not shown the warning yet; it counts as shown from now on.
bool firstShowing(const std::string& warning) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard lock(mutex);
    return seen.insert(warning).second;
}

}  // namespace

std::vector<std::string> unseenWarnings(const std::vector<std::string>& warnings) {
    std::vector<std::string> unseen;
    for (const auto& warning : warnings) {
        if (firstShowing(warning)) unseen.push_back(warning);
    }
    return unseen;
}

std::vector<support::Phrase> unseenWarnings(const std::vector<support::Phrase>& warnings) {
    std::vector<support::Phrase> unseen;
    for (const auto& warning : warnings) {
        if (firstShowing(warning.english())) unseen.push_back(warning);
    }
    return unseen;
}

namespace {

struct IniLine {
    std::string text;
    std::optional<std::string> section;  // set on a [section] header
    std::optional<std::string> key;      // set on a key line
};

IniLine classify(const std::string& text) {
    IniLine line{text, {}, {}};
    const std::string_view body = trimmed(text);
    if (body.empty() || body.front() == ';' || body.front() == '#') return line;
    if (body.front() == '[') {
        const auto close = body.find(']');
        if (close != std::string_view::npos) {
            line.section = lowerCase(trimmed(body.substr(1, close - 1)));
        }
        return line;
    }
    const auto separator = body.find_first_of("=:");
    if (separator != std::string_view::npos)
        line.key = lowerCase(trimmed(body.substr(0, separator)));
    return line;
}

std::vector<IniLine> splitLines(const std::string& text) {
    std::vector<IniLine> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(classify(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

// The managed keys' lines of one section are rewritten in place, dropped when the value is
// gone, and the values still missing go after the section's last key (a new section at the
// end when the file has none).
std::vector<std::string> rewriteSection(const std::vector<IniLine>& lines, std::string_view section,
                                        const KestoValues& values) {
    std::map<std::string, std::string> pending;
    for (const KeyRule& rule : keyRules()) {
        if (rule.section != section) continue;
        if (auto text = rule.write(values)) pending[std::string(rule.key)] = *text;
    }
    std::vector<std::string> out;
    bool inSection = false;
    bool sawSection = false;
    std::size_t insertAt = 0;  // where the section's missing keys go
    for (const IniLine& line : lines) {
        if (line.section) {
            inSection = *line.section == section;
            if (inSection && !sawSection) {
                sawSection = true;
                out.push_back(line.text);
                insertAt = out.size();
                continue;
            }
        }
        if (inSection && line.key && ruleFor(section, *line.key) != nullptr) {
            auto value = pending.find(*line.key);
            if (value == pending.end()) continue;  // unset now, or a second copy
            out.push_back(value->first + " = " + value->second);
            pending.erase(value);
            insertAt = out.size();
            continue;
        }
        out.push_back(line.text);
        if (inSection && line.key) insertAt = out.size();
    }
    std::vector<std::string> missing;
    for (const KeyRule& rule : keyRules()) {
        if (auto value = pending.find(std::string(rule.key));
            rule.section == section && value != pending.end()) {
            missing.push_back(value->first + " = " + value->second);
        }
    }
    if (!sawSection && !missing.empty()) {
        if (!out.empty() && !trimmed(out.back()).empty()) out.emplace_back();
        out.push_back("[" + std::string(section) + "]");
        insertAt = out.size();
    }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), missing.begin(), missing.end());
    return out;
}

std::string rewrite(std::vector<IniLine> lines, const KestoValues& values) {
    std::vector<std::string> out;
    for (std::string_view section : sections()) {
        out = rewriteSection(lines, section, values);
        lines.clear();
        for (const std::string& text : out) lines.push_back(classify(text));
    }
    std::string text;
    for (const auto& line : out) text += line + "\n";
    return text;
}

}  // namespace

namespace {

// The reader must take back every value as it was given: a value it would cut (at a line break
// or an inline comment) or refuse is not saved.
support::Status checkReadsBack(const std::string& text, const KestoValues& values,
                               const std::filesystem::path& file) {
    for (const KeyRule& rule : keyRules()) {
        const std::optional<std::string> given = rule.write(values);
        if (given && given->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            //: %1 is the key ("[kesto] address")
            return makeError(ErrorCode::InvalidInput,
                             support::Phrase{VELQUOR_TR_NOOP("core",
                                                             "%1: the value holds a line break, "
                                                             "which a settings line cannot keep; "
                                                             "nothing was saved"),
                                             {qualifiedKey(rule)}});
        }
    }
    const ParsedText parsed = parseSettingsText(text, file);
    if (!parsed.mistakes.empty()) {
        const support::Phrase mistake = describeMistake(file, parsed.mistakes.front());
        //: %1 is the file and line and what is wrong with it
        return makeError(ErrorCode::InvalidInput,
                         support::withReason(
                             support::Phrase{VELQUOR_TR_NOOP("core", "%1; nothing was saved"), {}},
                             mistake.english(), mistake));
    }
    for (const KeyRule& rule : keyRules()) {
        const std::optional<std::string> given = rule.write(values);
        if (rule.write(parsed.layer.values) == given) continue;
        //: %1 is the key ("[kesto] address"), %2 its value
        return makeError(ErrorCode::InvalidInput,
                         support::Phrase{VELQUOR_TR_NOOP("core",
                                                         "%1: '%2' would not read back as it is "
                                                         "(a line break, a ';' after a space and "
                                                         "spaces at either end are not kept); "
                                                         "nothing was saved"),
                                         {qualifiedKey(rule), given.value_or("")}});
    }
    return {};
}

// The file's present text, kept around the keys this program writes. A file someone else
// planted keeps nothing of its own: the one saved is this user's alone.
support::Result<std::string> existingText(const std::filesystem::path& file) {
    auto text =
        support::readTrustedFile(file, kLargestSettingsFile, support::FileTrust::OwnerOrRoot);
    if (text) return text;
    if (text.error().code == ErrorCode::NotFound || text.error().code == ErrorCode::Refused) {
        return std::string();
    }
    return text.error();
}

}  // namespace

support::Status saveUserSettings(const KestoValues& values, const SettingsPaths& paths) {
    const std::filesystem::path file = paths.userFile();
    auto existing = existingText(file);
    if (!existing) return existing.error();
    const std::string text = rewrite(splitLines(*existing), values);
    if (auto readsBack = checkReadsBack(text, values, file); !readsBack) return readsBack;
    std::error_code made;
    std::filesystem::create_directories(paths.userFolder, made);
    if (made) {
        //: %1 is the settings folder, %2 the system's reason
        return makeError(ErrorCode::Io,
                         support::Phrase{VELQUOR_TR_NOOP("core", "cannot create %1: %2"),
                                         {paths.userFolder.string(), std::strerror(made.value())}});
    }
    // Settings are read back: a node that is no regular file is refused, not written into.
    support::OutputOptions options;
    options.streams = support::StreamTarget::Refuse;
    return support::writeFileAtomically(
        file, std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()), options);
}

namespace {

// "a, b, c": paths, as they are in any language.
std::string joinPaths(const std::vector<std::filesystem::path>& paths) {
    std::string joined;
    for (const auto& path : paths) joined += (joined.empty() ? "" : ", ") + path.string();
    return joined;
}

// Why the files found were not used: "why; not used: why; not used: why", each worded by its
// error's own phrase.
support::Phrase rejectedPhrase(const std::vector<support::Error>& rejected) {
    support::Phrase phrase{"%1", {rejected.front().message}};
    phrase.argumentPhrases = {rejected.front().phrase};
    for (std::size_t i = 1; i < rejected.size(); ++i) {
        //: %1 is why an earlier CA file was not used, %2 why the next one was not
        phrase = support::withCause(
            support::withReason(support::Phrase{VELQUOR_TR_NOOP("core", "%1; not used: %2"), {}},
                                phrase.english(), phrase),
            rejected[i]);
    }
    return phrase;
}

void sayNoCaFound(CaFileLookup& lookup, const std::vector<support::Error>& rejected,
                  const SettingsPaths& paths) {
    const std::vector<std::string> files{paths.userFile().string(), paths.systemFile().string()};
    support::Phrase phrase;
    if (rejected.empty()) {
        //: %1 lists the files looked for; %2 and %3 are the two settings files
        phrase = support::Phrase{
            VELQUOR_TR_NOOP("core",
                            "no CA certificate found (looked for %1); name the server's CA file "
                            "with ca-file in the [kesto] section of %2 or %3"),
            {joinPaths(lookup.searched)}};
    } else {
        const support::Phrase why = rejectedPhrase(rejected);
        //: %1 lists the files looked for, %2 why those there were not used; %3 and %4 are the
        //: two settings files
        phrase = support::withReason(
            support::Phrase{VELQUOR_TR_NOOP("core",
                                            "no CA certificate found (looked for %1; not used: "
                                            "%2); name the server's CA file with ca-file in the "
                                            "[kesto] section of %3 or %4"),
                            {joinPaths(lookup.searched)}},
            why.english(), why);
    }
    phrase.arguments.insert(phrase.arguments.end(), files.begin(), files.end());
    lookup.problemPhrase = std::move(phrase);
    lookup.problem = lookup.problemPhrase.english();
}

}  // namespace

CaFileLookup findCaFile(const KestoSettings& settings, const SettingsPaths& paths) {
    CaFileLookup lookup;
    std::vector<support::Error> rejected;
    // A bundle found in the working folder or the configuration folders is trusted only when
    // nobody else could have put it there; one the settings name is the operator's choice.
    const auto usable = [&lookup, &rejected](const std::filesystem::path& candidate,
                                             support::FileTrust trust) {
        lookup.searched.push_back(candidate);
        const support::Status checked = support::checkTrustedFile(candidate, trust);
        if (checked) {
            lookup.found = candidate;
        } else if (checked.error().code != ErrorCode::NotFound) {
            lookup.rejected.push_back(checked.error().message);
            rejected.push_back(checked.error());
        }
        return lookup.found.has_value();
    };
    if (!settings.caFile.value.empty()) {
        if (usable(settings.caFile.value, support::FileTrust::AnyOwner)) return lookup;
        const std::string where = settings.caFile.from.where.empty()
                                      ? std::string(VELQUOR_TR_NOOP("core", "default"))
                                      : settings.caFile.from.where;
        if (rejected.empty()) {
            //: %1 is the CA file, %2 where the setting comes from (a file and line, "default")
            lookup.problemPhrase = support::withReason(
                support::Phrase{VELQUOR_TR_NOOP("core",
                                                "the CA certificate file %1 (ca-file, %2) does "
                                                "not exist"),
                                {settings.caFile.value}},
                where);
        } else {
            //: %1 is why the CA file cannot be used, %2 where the setting comes from
            lookup.problemPhrase = support::withReason(
                support::withCause(support::Phrase{VELQUOR_TR_NOOP("core", "%1 (ca-file, %2)"), {}},
                                   rejected.front()),
                where);
        }
        lookup.problem = lookup.problemPhrase.english();
        return lookup;
    }
    for (const auto& candidate :
         {std::filesystem::path("cacert.pem"), paths.userFolder / "cacert.pem",
          paths.systemFolder / "cacert.pem"}) {
        if (usable(candidate, support::FileTrust::OwnerOrRoot)) return lookup;
    }
    sayNoCaFound(lookup, rejected, paths);
    return lookup;
}

std::string_view originName(Origin origin) {
    switch (origin) {
        case Origin::BuildDefault:
            return "default";
        case Origin::SystemFile:
            return "system file";
        case Origin::UserFile:
            return "user file";
        case Origin::CommandLine:
            return "command line";
    }
    return "default";
}

std::vector<SettingLine> describeSettings(const KestoSettings& settings) {
    const std::string kesto(kSection);
    return {
        {kesto, "address", settings.address.value, settings.address.from},
        {kesto, "ports", formatPorts(settings.ports.value), settings.ports.from},
        {kesto, "ca-file", settings.caFile.value, settings.caFile.from},
        {kesto, "connect-timeout", formatSeconds(settings.connectTimeout.value),
         settings.connectTimeout.from},
        {kesto, "exchange-timeout", formatSeconds(settings.exchangeTimeout.value),
         settings.exchangeTimeout.from},
        {kesto, "jobs", std::to_string(settings.jobs.value), settings.jobs.from},
        {std::string(kDevicesSection), "mac-form",
         std::string(mac::formName(settings.macForm.value)), settings.macForm.from},
        {std::string(kDevicesSection), "file-name", settings.fileName.value.text(),
         settings.fileName.from},
    };
}

}  // namespace velquor::settings
