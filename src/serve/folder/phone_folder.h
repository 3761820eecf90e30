// The one folder the phone server serves, and the rules of what a request may have from it.
//
// The folder is its path: every request finds it by its path again (one stat), so a folder
// renamed away and replaced by a new one is served as the new one at once. While nothing is
// at the path the requests get 503 (folderMissing); serving goes on when it is back.
//
// The path asked names a file and, before it, the folder it is asked in. A name asked in a
// folder "en" (in any case: /en/NAME, /prov/site1/en/NAME) is the encrypted copy: the file of
// the served folder's en/, never the plain file beside it; when the served folder is itself
// an en folder (its real name is en, as Generate's encrypted copies are) it holds only those
// copies and gives them. Any other folders before the name are a phone's server text and
// are ignored (/prov/site1/NAME is NAME of the served folder).
//
// Never a listing, a dot file, a path with a dot part, a link leading out of the folder or
// anything but a regular file. A name of the file-name pattern gets that phone's file of the
// folder asked whatever the case and spelling of the MAC in the request and on disk (each
// folder indexed on its own); other names are served by their exact name. Files are opened
// when asked, so a file written again is served new at once.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mac/file_name.h"
#include "serve/folder/name_index.h"
#include "support/result.h"
#include "support/translatable.h"

namespace velquor::serve {

// The folder of the encrypted copies, inside the folder Generate writes.
inline constexpr std::string_view kEncryptedFolder = "en";

// A file opened for one answer; the descriptor is the caller's to close.
struct OpenedFile {
    int fd = -1;
    std::uint64_t size = 0;
    std::string name;  // the name on disk, en/NAME for an encrypted copy of the served folder's
};

struct Lookup {
    std::string mac;                 // the canonical MAC the name asked holds, or empty
    std::optional<OpenedFile> file;  // nothing: 404, or 503 when the folder is missing
    bool folderMissing = false;      // nothing at the served folder's path
};

// The served folder as the server last found it at its path.
struct FolderHealth {
    bool missing = false;            // the phones get 503
    std::uint64_t timesMissing = 0;  // how often it went missing since the server started
    bool operator==(const FolderHealth&) const = default;
};

class PhoneFolder {
public:
    PhoneFolder() = default;
    PhoneFolder(const PhoneFolder&) = delete;
    PhoneFolder& operator=(const PhoneFolder&) = delete;

    // Opens the folder; an error says why it cannot be served (missing, not a folder).
    support::Status open(const std::filesystem::path& folder,
                         const mac::FileNamePattern& pattern = {});
    // The folder as given to open.
    const std::filesystem::path& path() const { return m_path; }

    // What path (as the server decoded it, without its query) asks for.
    Lookup lookup(std::string_view path);

    // The names of the phones' files directly in the folder (those of the pattern), one per
    // phone, sorted.
    std::vector<std::string> phoneFiles();

    // The folder looked up at its path now.
    FolderHealth health();

private:
    // One opening of the folder's path, kept while the path names the same folder.
    struct Opening {
        int fd = -1;
        dev_t device = 0;
        ino_t inode = 0;
        ~Opening();
    };
    using OpeningPtr = std::shared_ptr<const Opening>;

    static OpeningPtr openingOf(const std::filesystem::path& folder);  // nothing: errno says
    OpeningPtr current();
    OpeningPtr reopen(const OpeningPtr& stale);
    void noteMissing();
    std::optional<OpenedFile> find(const Opening& opening, bool encrypted, const std::string& name,
                                   const std::optional<std::string>& phone);

    std::filesystem::path m_path;
    std::filesystem::path m_lookupPath;  // absolute: found again whatever happens around it
    mac::FileNamePattern m_pattern;
    bool m_isEncryptedFolder = false;  // the served folder is itself an en folder
    std::atomic<OpeningPtr> m_opening;
    std::mutex m_reopenMutex;
    std::atomic<bool> m_missing{false};
    std::atomic<std::uint64_t> m_timesMissing{0};
    NameIndex m_plainIndex{""};
    NameIndex m_encryptedIndex{std::string(kEncryptedFolder)};
};

// What a request's path asks: the name, and whether it is asked in an en folder.
struct AskedFile {
    std::string_view name;
    bool encrypted = false;
};

// The name asked when the server may look it up: non-empty, no part of the path beginning
// with a dot (., .., a dot file or dot folder), no NUL or backslash.
std::optional<AskedFile> askedFile(std::string_view path);

// What to tell the person serving between two looks at the folder: that it went missing
// (phones get 503), that it is back; nothing when neither happened.
std::vector<support::Phrase> folderNews(const FolderHealth& before, const FolderHealth& now,
                                        const std::filesystem::path& folder);

}  // namespace velquor::serve
