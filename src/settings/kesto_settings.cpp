// Reading the two settings files with libinih, laying the sources over one another, writing
// the per-user file back, and finding the CA certificate; see kesto_settings.h.
#include "settings/kesto_settings.h"

#include <ini.h>
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

#include "settings/settings_text.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"
#include "wire/kesto_address.h"
#include "wire/wire_records.h"

namespace velquor::settings {

using support::ErrorCode;
using support::makeError;

namespace {

constexpr std::string_view kSection = "kesto";
// The window's own keys; velquor-cli reads past them.
constexpr std::string_view kWindowSection = "window";
constexpr std::string_view kSections[] = {kSection, kWindowSection};
constexpr std::uint64_t kLargestSettingsFile = 1 << 20;

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// One key of a section: how its text becomes a value and how the value is written back.
struct KeyRule {
    std::string_view section;
    std::string_view key;
    support::Status (*read)(std::string_view text, KestoValues& into);
    std::optional<std::string> (*write)(const KestoValues& from);
};

template <typename T, typename Parse>
support::Status assign(std::optional<T>& field, std::string_view text, Parse parse) {
    auto value = parse(text);
    if (!value) return value.error();
    field = std::move(*value);
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
    {kSection, "ca-file",
     [](std::string_view t, KestoValues& v) -> support::Status {
         const std::string_view path = trimmed(t);
         if (path.empty()) return makeError(ErrorCode::InvalidInput, "a file name is needed");
         v.caFile = std::string(path);
         return {};
     },
     [](const KestoValues& v) { return v.caFile; }},
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
    {kWindowSection, "language",
     [](std::string_view t, KestoValues& v) { return assign(v.language, t, parseLanguage); },
     [](const KestoValues& v) { return v.language; }},
};

const KeyRule* ruleFor(std::string_view section, std::string_view key) {
    const std::string lower = lowerCase(trimmed(key));
    for (const KeyRule& rule : kKeys) {
        if (rule.section == section && rule.key == lower) return &rule;
    }
    return nullptr;
}

bool knownSection(std::string_view section) {
    return std::find(std::begin(kSections), std::end(kSections), section) != std::end(kSections);
}

// What one file said, with the line of each key.
struct FileLayer {
    KestoValues values;
    std::map<std::string, int> lines;
};

// Hands inih one physical line at a time and counts them, so every key and every mistake can
// be placed; a line longer than inih's buffer is cut there and remembered as a mistake.
struct LineSource {
    std::string_view rest;
    int line = 0;
    int overlongLine = 0;
    bool lineCut = false;  // the line just handed out was cut short
};

char* nextLine(char* buffer, int size, void* stream) {
    auto& source = *static_cast<LineSource*>(stream);
    if (source.rest.empty()) return nullptr;
    ++source.line;
    std::size_t end = source.rest.find('\n');
    end = end == std::string_view::npos ? source.rest.size() : end + 1;
    std::string_view line = source.rest.substr(0, end);
    source.rest.remove_prefix(end);
    const auto room = static_cast<std::size_t>(size - 1);
    source.lineCut = line.size() > room;
    if (source.lineCut) {
        if (source.overlongLine == 0) source.overlongLine = source.line;
        line = line.substr(0, room);
    }
    std::memcpy(buffer, line.data(), line.size());
    buffer[line.size()] = '\0';
    return buffer;
}

struct ParseState {
    const std::filesystem::path& file;
    LineSource source;
    FileLayer layer;
    // The first mistake by line, whoever found it: inih (syntax), the reader (length) or us.
    int errorLine = 0;
    std::string error;
    std::vector<std::string> warnings;
    std::set<std::string> warnedSections;

    std::string here() const { return file.string() + ":" + std::to_string(source.line); }

    void fail(std::string message) { failAt(source.line, std::move(message)); }

    void failAt(int line, std::string message) {
        if (line <= 0 || (errorLine != 0 && errorLine <= line)) return;
        errorLine = line;
        error = std::move(message);
    }
};

int onKey(void* user, const char* section, const char* name, const char* value) {
    auto& state = *static_cast<ParseState*>(user);
    if (state.source.lineCut) return 1;  // what is left of it means nothing
    const std::string sectionName = lowerCase(section);
    if (sectionName.empty()) {
        state.fail(std::string("'") + name + "' comes before any section: put it under [" +
                   std::string(kSection) + "]");
        return 1;
    }
    if (!knownSection(sectionName)) {
        if (state.warnedSections.insert(sectionName).second) {
            state.warnings.push_back(state.here() + ": unknown section [" + section + "], ignored");
        }
        return 1;
    }
    const KeyRule* rule = ruleFor(sectionName, name);
    if (rule == nullptr) {
        state.warnings.push_back(state.here() + ": unknown key '" + name + "' in [" + sectionName +
                                 "], ignored");
        return 1;
    }
    const std::string key(rule->key);
    const std::string qualified = "[" + sectionName + "] " + key;
    if (auto earlier = state.layer.lines.find(key); earlier != state.layer.lines.end()) {
        state.fail(qualified + " is given again (first on line " + std::to_string(earlier->second) +
                   ")");
        return 1;
    }
    state.layer.lines[key] = state.source.line;
    if (auto read = rule->read(value, state.layer.values); !read) {
        state.fail(qualified + ": " + read.error().message);
    }
    return 1;
}

// A relative ca-file in a file names a file beside it, wherever the program was started.
void anchorCaFile(FileLayer& layer, const std::filesystem::path& file) {
    if (layer.values.caFile && std::filesystem::path(*layer.values.caFile).is_relative()) {
        layer.values.caFile = (file.parent_path() / *layer.values.caFile).lexically_normal();
    }
}

// A missing file says nothing; one that exists but cannot be read is a warning, since the
// operator may not be able to fix a site's file and the other sources still apply.
support::Result<FileLayer> readSettingsFile(const std::filesystem::path& file,
                                            std::vector<std::string>& warnings) {
    std::error_code absent;
    if (!std::filesystem::exists(file, absent) && !absent) return FileLayer{};
    auto text = support::readWholeFile(file, kLargestSettingsFile);
    if (!text) {
        warnings.push_back(text.error().message + "; its settings are not used");
        return FileLayer{};
    }
    ParseState state{file, LineSource{*text}, {}, 0, {}, {}, {}};
    const int syntaxError = ini_parse_stream(nextLine, &state.source, onKey, &state);
    state.failAt(state.source.overlongLine, "the line is too long");
    state.failAt(syntaxError, "not a 'key = value' line nor a [section] header");
    if (state.errorLine != 0) {
        return makeError(
            ErrorCode::InvalidInput,
            file.string() + ":" + std::to_string(state.errorLine) + ": " + state.error);
    }
    warnings.insert(warnings.end(), state.warnings.begin(), state.warnings.end());
    anchorCaFile(state.layer, file);
    return std::move(state.layer);
}

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
    auto system = readSettingsFile(paths.systemFile(), loaded.warnings);
    if (!system) return system.error();
    auto user = readSettingsFile(paths.userFile(), loaded.warnings);
    if (!user) return user.error();
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
        if (auto read = ruleFor(kSection, option.key)->read(*text, values); !read) {
            return makeError(ErrorCode::Usage,
                             std::string(option.option) + ": " + read.error().message);
        }
    }
    return values;
}

std::vector<std::string> unseenWarnings(const std::vector<std::string>& warnings) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard lock(mutex);
    std::vector<std::string> unseen;
    for (const auto& warning : warnings) {
        if (seen.insert(warning).second) unseen.push_back(warning);
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
    for (const KeyRule& rule : kKeys) {
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
    for (const KeyRule& rule : kKeys) {
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
    for (std::string_view section : kSections) {
        out = rewriteSection(lines, section, values);
        lines.clear();
        for (const std::string& text : out) lines.push_back(classify(text));
    }
    std::string text;
    for (const auto& line : out) text += line + "\n";
    return text;
}

}  // namespace

support::Status saveUserSettings(const KestoValues& values, const SettingsPaths& paths) {
    const std::filesystem::path file = paths.userFile();
    std::string existing;
    std::error_code absent;
    if (std::filesystem::exists(file, absent)) {
        auto text = support::readWholeFile(file, kLargestSettingsFile);
        if (!text) return text.error();
        existing = std::move(*text);
    }
    std::error_code made;
    std::filesystem::create_directories(paths.userFolder, made);
    if (made) {
        return makeError(ErrorCode::Io,
                         support::describeErrno("cannot create", paths.userFolder, made.value()));
    }
    const std::string text = rewrite(splitLines(existing), values);
    return support::writeFileAtomically(
        file, std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()));
}

CaFileLookup findCaFile(const KestoSettings& settings, const SettingsPaths& paths) {
    CaFileLookup lookup;
    const auto usable = [&lookup](const std::filesystem::path& candidate) {
        lookup.searched.push_back(candidate);
        std::error_code ignored;
        if (std::filesystem::is_regular_file(candidate, ignored)) lookup.found = candidate;
        return lookup.found.has_value();
    };
    if (!settings.caFile.value.empty()) {
        if (usable(settings.caFile.value)) return lookup;
        lookup.problem = "the CA certificate file " + settings.caFile.value + " (ca-file, " +
                         (settings.caFile.from.where.empty() ? std::string("default")
                                                             : settings.caFile.from.where) +
                         ") does not exist";
        return lookup;
    }
    for (const auto& candidate :
         {std::filesystem::path("cacert.pem"), paths.userFolder / "cacert.pem",
          paths.systemFolder / "cacert.pem"}) {
        if (usable(candidate)) return lookup;
    }
    std::string searched;
    for (const auto& path : lookup.searched) {
        searched += (searched.empty() ? "" : ", ") + path.string();
    }
    lookup.problem = "no CA certificate found (looked for " + searched +
                     "); name the server's CA file with ca-file in the [kesto] section of " +
                     paths.userFile().string() + " or " + paths.systemFile().string();
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
    return {
        {"address", settings.address.value, settings.address.from},
        {"ports", formatPorts(settings.ports.value), settings.ports.from},
        {"ca-file", settings.caFile.value, settings.caFile.from},
        {"connect-timeout", formatSeconds(settings.connectTimeout.value),
         settings.connectTimeout.from},
        {"exchange-timeout", formatSeconds(settings.exchangeTimeout.value),
         settings.exchangeTimeout.from},
        {"jobs", std::to_string(settings.jobs.value), settings.jobs.from},
    };
}

}  // namespace velquor::settings
