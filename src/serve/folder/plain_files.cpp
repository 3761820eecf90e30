// Plain files over plain HTTP; see plain_files.h.
#include "serve/folder/plain_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>

#include "crypto/plaintext_check.h"

namespace velquor::serve {
namespace {

// The start of the file, as much as tells text from noise; nothing when it cannot be read.
std::optional<std::string> fileStart(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string start(crypto::kTextSampleBytes, '\0');
    const ssize_t got = ::pread(fd, start.data(), start.size(), 0);
    ::close(fd);
    if (got <= 0) return std::nullopt;
    start.resize(static_cast<std::size_t>(got));
    return start;
}

std::optional<bool> readsAsText(const std::filesystem::path& file) {
    const auto start = fileStart(file);
    if (!start) return std::nullopt;
    return crypto::looksLikeText(*start);
}

bool isConfiguration(const std::filesystem::path& file) {
    const auto start = fileStart(file);
    return start && crypto::looksLikeText(*start) && looksLikeConfiguration(*start);
}

bool isKeyCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_.-[]", c) != nullptr;
}

// "key=value", "key = value", "account.1.password: x": a key, then = or :.
bool isKeyValueLine(std::string_view line) {
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string_view::npos || !std::isalpha(static_cast<unsigned char>(line[i])))
        return false;
    while (i < line.size() && isKeyCharacter(line[i])) ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return i < line.size() && (line[i] == '=' || line[i] == ':');
}

// The names of the folder's other files (not its phones'), up to the sample's size.
std::vector<std::string> otherFiles(const PhoneFolder& folder,
                                    const std::vector<std::string>& phones) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder.path(), error), end;
         !error && it != end && names.size() < kPlainFilesSampled; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (!it->is_regular_file(error) || std::binary_search(phones.begin(), phones.end(), name))
            continue;
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace

bool looksLikeConfiguration(std::string_view start) {
    if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);
    const std::size_t first = start.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return false;
    if (start[first] == '<') {
        const char next = first + 1 < start.size() ? start[first + 1] : '\0';
        return next == '?' || next == '!' || std::isalpha(static_cast<unsigned char>(next));
    }
    for (std::size_t at = 0; at < start.size();) {
        std::size_t end = start.find('\n', at);
        if (end == std::string_view::npos) end = start.size();
        if (isKeyValueLine(start.substr(at, end - at))) return true;
        at = end + 1;
    }
    return false;
}

PlainFiles findPlainFiles(PhoneFolder& folder) {
    const std::vector<std::string> phones = folder.phoneFiles();
    const std::filesystem::path copies = folder.path() / kEncryptedFolder;
    PlainFiles found;
    for (std::size_t i = 0; i < std::min(phones.size(), kPlainFilesSampled); ++i) {
        const std::string& name = phones[i];
        if (readsAsText(folder.path() / name) != true) continue;
        found.plain = true;
        if (found.configuration.empty() && isConfiguration(folder.path() / name))
            found.configuration = name;
        if (found.encryptedCopies.empty() && readsAsText(copies / name) == false)
            found.encryptedCopies = copies;
    }
    for (const std::string& name : otherFiles(folder, phones)) {
        if (!found.configuration.empty()) break;
        if (isConfiguration(folder.path() / name)) found.configuration = name;
    }
    return found;
}

support::Result<std::vector<support::Phrase>> checkPlainHttp(const PlainFiles& found,
                                                             const PhoneFolder& folder,
                                                             bool plainFiles) {
    if (!found.plain) return std::vector<support::Phrase>{};
    if (!found.encryptedCopies.empty() && !plainFiles) {
        //: %1 and %2 are folders
        return support::makeError(
            support::ErrorCode::Refused,
            support::Phrase{VELQUOR_TR_NOOP("core",
                                            "The files of %1 are not encrypted, and plain HTTP "
                                            "would send the phones' SIP passwords in clear, "
                                            "while %2 holds their encrypted copies: serve %2/, "
                                            "or give --plain-files."),
                            {folder.path().string(), found.encryptedCopies.string()}});
    }
    //: %1 is a folder
    return std::vector<support::Phrase>{support::Phrase{
        VELQUOR_TR_NOOP("core",
                        "The files of %1 are not encrypted and plain HTTP does not encrypt them "
                        "either: the phones' SIP passwords cross the network in clear. Serve "
                        "its en folder, or use HTTPS."),
        {folder.path().string()}}};
}

support::Result<std::vector<support::Phrase>> checkUnprovenAskers(const PlainFiles& found,
                                                                  const PhoneFolder& folder,
                                                                  const Audience& audience) {
    if (found.configuration.empty() || audience.loopbackOnly || audience.credentials)
        return std::vector<support::Phrase>{};
    //: what a server listens on when no address was given
    const std::string where =
        audience.where.empty() ? VELQUOR_TR_NOOP("core", "every address") : audience.where;
    // The address as given stays as it is; "every address" is worded in the window's language.
    const std::uint16_t marked = audience.where.empty() ? support::markedArgument(3) : 0;
    if (audience.noAuth) {
        //: %1 is a folder, %2 a file in it, %3 the address served on
        return std::vector<support::Phrase>{support::Phrase{
            VELQUOR_TR_NOOP("core",
                            "--no-auth: the plain configuration files of %1 (%2 among them) go "
                            "to anyone on %3 who names a phone, with the phones' SIP passwords "
                            "in them."),
            {folder.path().string(), found.configuration, where},
            marked}};
    }
    return support::makeError(
        support::ErrorCode::Refused,
        support::Phrase{
            kUnprovenAskersRefused, {folder.path().string(), found.configuration, where}, marked});
}

bool refusesUnprovenAskers(const support::Error& error) {
    return error.phrase.pattern != nullptr &&
           std::string_view(error.phrase.pattern) == kUnprovenAskersRefused;
}

}  // namespace velquor::serve
