// One settings file as the reader sees it: the [kesto] and [devices] values it gives, the line of
// each, and what is wrong with it. Lines of any length up to the file's bound are read (a ca-file
// may be a path of 4096 bytes); a NUL byte, a line that is not "key = value" nor a [section]
// header, and a value a key cannot take are mistakes, each placed by line.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/kesto_settings.h"
#include "support/result.h"

namespace velquor::settings {

struct FileLayer {
    KestoValues values;
    std::map<std::string, int> lines;  // key -> its line
};

struct FileMistake {
    int line = 0;
    std::string key;  // the key the line sets, empty when it sets none
    support::Phrase message;
};

struct ParsedText {
    FileLayer layer;
    std::vector<support::Phrase> warnings;  // unknown sections and keys, each "file:line: ..."
    std::vector<FileMistake> mistakes;      // in line order
};

// Parses a file's text; file names it in warnings and mistakes.
ParsedText parseSettingsText(std::string_view text, const std::filesystem::path& file);

// "file:line: message".
support::Phrase describeMistake(const std::filesystem::path& file, const FileMistake& mistake);

// Reads one settings file. Absent: nothing. Owned by another user or writable by others, not a
// regular file (a FIFO is never waited on) or unreadable: a warning naming it and why, and
// none of its settings are used. Too large, or with mistakes: an error naming the file and the
// line, unless the command line gives every key a mistake concerns (every key at all for a
// file too large), since the command does not need them then: warnings, and the file's other
// values still apply. A relative ca-file names a file beside it.
support::Result<FileLayer> readSettingsFile(const std::filesystem::path& file,
                                            const KestoValues& commandLine,
                                            std::vector<support::Phrase>& warnings);

}  // namespace velquor::settings
