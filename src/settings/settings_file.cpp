// Reading one settings file with libinih; see settings_file.h.
#include "settings/settings_file.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

#include "settings/key_rules.h"
#include "settings/settings_text.h"
#include "support/trusted_file.h"

namespace velquor::settings {
namespace {

using support::ErrorCode;
using support::makeError;

constexpr std::uint64_t kLargestSettingsFile = 1 << 20;
// Handed to inih in place of a value too long for its line buffer, which it never sees.
constexpr std::string_view kLongValueMark = "\x1f";

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// A value as inih makes it: cut at an inline comment (';' after white space), then trimmed.
std::string inlineValue(std::string_view raw) {
    for (std::size_t i = 1; i < raw.size(); ++i) {
        if (raw[i] == ';' && isSpace(raw[i - 1])) {
            raw = raw.substr(0, i);
            break;
        }
    }
    return std::string(trimmed(raw));
}

// Hands inih one physical line at a time and counts them, so every key and every mistake can
// be placed. A key line longer than inih's buffer goes to it as "key=" and a mark, its value
// kept here; a long comment as an empty one; any other long line is cut and remembered.
struct LineSource {
    std::string_view rest;
    int line = 0;
    std::vector<int> overlongLines;
    std::vector<int> nulLines;
    bool lineCut = false;  // the line just handed out was cut short
    std::string longValue;
};

std::string standIn(std::string_view line, std::size_t room, LineSource& source) {
    std::string_view body = line;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
    const std::string_view start = trimmed(body);
    if (!start.empty() && (start.front() == ';' || start.front() == '#')) return ";\n";
    const std::size_t separator = body.find_first_of("=:");
    if (start.empty() || start.front() == '[' || separator == std::string_view::npos ||
        separator + kLongValueMark.size() + 2 > room) {
        return {};
    }
    source.longValue = std::string(body.substr(separator + 1));
    return std::string(body.substr(0, separator + 1)) + std::string(kLongValueMark) + "\n";
}

char* nextLine(char* buffer, int size, void* stream) {
    auto& source = *static_cast<LineSource*>(stream);
    if (source.rest.empty()) return nullptr;
    ++source.line;
    std::size_t end = source.rest.find('\n');
    end = end == std::string_view::npos ? source.rest.size() : end + 1;
    std::string_view line = source.rest.substr(0, end);
    source.rest.remove_prefix(end);
    if (line.find('\0') != std::string_view::npos) source.nulLines.push_back(source.line);
    const auto room = static_cast<std::size_t>(size - 1);
    source.lineCut = false;
    source.longValue.clear();
    std::string substitute;
    if (line.size() > room) {
        substitute = standIn(line, room, source);
        if (substitute.empty()) {
            source.lineCut = true;
            source.overlongLines.push_back(source.line);
            line = line.substr(0, room);
        } else {
            line = substitute;
        }
    }
    std::memcpy(buffer, line.data(), line.size());
    buffer[line.size()] = '\0';
    return buffer;
}

struct ParseState {
    const std::filesystem::path& file;
    LineSource source;
    ParsedText parsed;
    std::set<std::string> warnedSections;

    std::string here() const { return file.string() + ":" + std::to_string(source.line); }
    void fail(std::string key, support::Phrase message) {
        parsed.mistakes.push_back(FileMistake{source.line, std::move(key), std::move(message)});
    }
};

support::Phrase fixedText(const char* text) {
    return support::Phrase{text, {}};
}

int onKey(void* user, const char* section, const char* name, const char* value) {
    auto& state = *static_cast<ParseState*>(user);
    if (state.source.lineCut) return 1;  // what is left of it means nothing
    const std::string sectionName = lowerCase(section);
    if (sectionName.empty()) {
        //: %1 is the key, %2 the section's name
        support::Phrase outside{
            VELQUOR_TR_NOOP("core", "'%1' comes before any section: put it under [%2]"),
            {name, std::string(kSection)}};
        state.fail({}, std::move(outside));
        return 1;
    }
    if (!knownSection(sectionName)) {
        if (state.warnedSections.insert(sectionName).second) {
            //: %1 is the file and line ("velquor.conf:5"), %2 the section's name
            state.parsed.warnings.push_back(
                support::Phrase{VELQUOR_TR_NOOP("core", "%1: unknown section [%2], ignored"),
                                {state.here(), section}});
        }
        return 1;
    }
    const KeyRule* rule = ruleFor(sectionName, name);
    if (rule == nullptr) {
        //: %1 is the file and line ("velquor.conf:2"), %2 the key, %3 the section's name
        state.parsed.warnings.push_back(
            support::Phrase{VELQUOR_TR_NOOP("core", "%1: unknown key '%2' in [%3], ignored"),
                            {state.here(), name, sectionName}});
        return 1;
    }
    const std::string key(rule->key);
    FileLayer& layer = state.parsed.layer;
    if (auto earlier = layer.lines.find(key); earlier != layer.lines.end()) {
        //: %1 is the key ("[kesto] ports"), %2 the line that gave it first
        state.fail(key,
                   support::Phrase{VELQUOR_TR_NOOP("core", "%1 is given again (first on line %2)"),
                                   {qualifiedKey(*rule), std::to_string(earlier->second)}});
        return 1;
    }
    layer.lines[key] = state.source.line;
    const std::string text =
        value == kLongValueMark ? inlineValue(state.source.longValue) : std::string(value);
    if (auto read = rule->read(text, layer.values); !read) {
        //: %1 is the key ("[kesto] ports"), %2 what is wrong with its value
        state.fail(key, support::withCause(support::Phrase{VELQUOR_TR_NOOP("core", "%1: %2"),
                                                           {qualifiedKey(*rule)}},
                                           read.error()));
    }
    return 1;
}

// A relative ca-file in a file names a file beside it, wherever the program was started.
void anchorCaFile(FileLayer& layer, const std::filesystem::path& file) {
    if (layer.values.caFile && std::filesystem::path(*layer.values.caFile).is_relative()) {
        layer.values.caFile = (file.parent_path() / *layer.values.caFile).lexically_normal();
    }
}

// Every key a command line can give: those of [kesto] (the window's own it never needs).
bool givesEveryKey(const KestoValues& values) {
    return std::all_of(keyRules().begin(), keyRules().end(), [&](const KeyRule& rule) {
        return rule.section != kSection || rule.write(values).has_value();
    });
}

}  // namespace

ParsedText parseSettingsText(std::string_view text, const std::filesystem::path& file) {
    ParseState state{file, {}, {}, {}};
    state.source.rest = text;
    const int syntaxError = ini_parse_stream(nextLine, &state.source, onKey, &state);
    auto& mistakes = state.parsed.mistakes;
    for (int line : state.source.overlongLines) {
        mistakes.push_back(
            FileMistake{line, {}, fixedText(VELQUOR_TR_NOOP("core", "the line is too long"))});
    }
    for (int line : state.source.nulLines) {
        mistakes.push_back(
            FileMistake{line, {}, fixedText(VELQUOR_TR_NOOP("core", "the line holds a NUL byte"))});
    }
    if (syntaxError > 0) {
        mistakes.push_back(FileMistake{
            syntaxError,
            {},
            fixedText(VELQUOR_TR_NOOP("core", "not a 'key = value' line nor a [section] header"))});
    }
    std::stable_sort(mistakes.begin(), mistakes.end(),
                     [](const FileMistake& a, const FileMistake& b) { return a.line < b.line; });
    return std::move(state.parsed);
}

support::Phrase describeMistake(const std::filesystem::path& file, const FileMistake& mistake) {
    //: %1 is the file, %2 the line, %3 what is wrong with it
    return support::withReason(support::Phrase{VELQUOR_TR_NOOP("core", "%1:%2: %3"),
                                               {file.string(), std::to_string(mistake.line)}},
                               mistake.message.english(), mistake.message);
}

support::Result<FileLayer> readSettingsFile(const std::filesystem::path& file,
                                            const KestoValues& commandLine,
                                            std::vector<support::Phrase>& warnings) {
    auto text =
        support::readTrustedFile(file, kLargestSettingsFile, support::FileTrust::OwnerOrRoot);
    if (!text && text.error().code == ErrorCode::NotFound) return FileLayer{};
    // Planted, not a regular file, or unreadable: the operator may not be able to mend a
    // site's file, and the other sources still apply. One too large is read no further.
    if (!text && text.error().code != ErrorCode::TooLarge) {
        //: %1 is why the settings file cannot be used
        warnings.push_back(support::withCause(
            support::Phrase{VELQUOR_TR_NOOP("core", "%1; its settings are not used"), {}},
            text.error()));
        return FileLayer{};
    }
    if (!text) {
        if (!givesEveryKey(commandLine)) return text.error();
        //: %1 is why the settings file cannot be used
        warnings.push_back(support::withCause(
            support::Phrase{VELQUOR_TR_NOOP("core", "%1; the command line gives every value"), {}},
            text.error()));
        return FileLayer{};
    }
    ParsedText parsed = parseSettingsText(*text, file);
    for (const FileMistake& mistake : parsed.mistakes) {
        const bool overridden =
            mistake.key.empty() ? givesEveryKey(commandLine) : givesKey(commandLine, mistake.key);
        const support::Phrase described = describeMistake(file, mistake);
        if (!overridden) return makeError(ErrorCode::InvalidInput, described);
        //: %1 is the file and line and what is wrong with it
        warnings.push_back(support::withReason(
            support::Phrase{VELQUOR_TR_NOOP("core", "%1; the command line gives its value"), {}},
            described.english(), described));
    }
    warnings.insert(warnings.end(), parsed.warnings.begin(), parsed.warnings.end());
    anchorCaFile(parsed.layer, file);
    return std::move(parsed.layer);
}

}  // namespace velquor::settings
