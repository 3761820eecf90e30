// Plain files over plain HTTP; see plain_files.h.
#include "serve/folder/plain_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "crypto/plaintext_check.h"

namespace velquor::serve {
namespace {

// Whether the start of the file read as text; nothing when it cannot be read.
std::optional<bool> readsAsText(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string start(crypto::kTextSampleBytes, '\0');
    const ssize_t got = ::pread(fd, start.data(), start.size(), 0);
    ::close(fd);
    if (got <= 0) return std::nullopt;
    start.resize(static_cast<std::size_t>(got));
    return crypto::looksLikeText(start);
}

}  // namespace

PlainFiles findPlainFiles(PhoneFolder& folder) {
    std::vector<std::string> names = folder.phoneFiles();
    names.resize(std::min(names.size(), kPlainFilesSampled));
    const std::filesystem::path copies = folder.path() / kEncryptedFolder;
    PlainFiles found;
    for (const std::string& name : names) {
        if (readsAsText(folder.path() / name) != true) continue;
        found.plain = true;
        if (readsAsText(copies / name) == false) {
            found.encryptedCopies = copies;
            break;
        }
    }
    return found;
}

support::Result<std::vector<support::Phrase>> checkPlainHttp(PhoneFolder& folder, bool plainFiles) {
    const PlainFiles found = findPlainFiles(folder);
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

}  // namespace velquor::serve
