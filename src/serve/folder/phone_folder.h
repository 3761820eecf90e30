// The one folder the phone server serves, and the rules of what a request may have from it:
// files directly in the folder, found by the last part of the path asked (any path before it
// is accepted, since a phone's server text may hold a folder), never a listing, a dot file,
// a path with a dot segment, a link leading out of the folder or anything but a regular file.
// A name of the file-name pattern gets that phone's file whatever the case and spelling of the
// MAC in the request and on disk; other names are served by their exact name. Files are
// opened when asked, so a file written again is served new at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mac/file_name.h"
#include "support/result.h"

namespace velquor::serve {

// A file opened for one answer; the descriptor is the caller's to close.
struct OpenedFile {
    int fd = -1;
    std::uint64_t size = 0;
    std::string name;  // the name on disk
};

struct Lookup {
    std::string mac;                 // the canonical MAC the name asked holds, or empty
    std::optional<OpenedFile> file;  // nothing: 404
};

class PhoneFolder {
public:
    PhoneFolder() = default;
    ~PhoneFolder();
    PhoneFolder(const PhoneFolder&) = delete;
    PhoneFolder& operator=(const PhoneFolder&) = delete;

    // Opens the folder; an error says why it cannot be served (missing, not a folder).
    support::Status open(const std::filesystem::path& folder,
                         const mac::FileNamePattern& pattern = {});
    const std::filesystem::path& path() const { return m_path; }

    // What path (as the server decoded it, without its query) asks for.
    Lookup lookup(std::string_view path);

    // The names of the phones' files in the folder (those of the pattern), one per phone; for
    // the warning about plain files.
    std::vector<std::string> phoneFiles();

private:
    std::optional<OpenedFile> openExact(const std::string& name) const;
    std::optional<std::string> indexedName(const std::string& mac);
    void refreshIndexIfChanged(bool force);

    std::filesystem::path m_path;
    mac::FileNamePattern m_pattern;
    int m_dirFd = -1;
    std::shared_mutex m_indexMutex;
    std::unordered_map<std::string, std::string> m_index;  // canonical MAC -> name on disk
    std::int64_t m_indexStamp = -1;                        // the folder's mtime when indexed
};

// The last part of a path when the server may look it up: non-empty, no part of the path
// beginning with a dot (., .., a dot file or dot folder), no NUL or backslash.
std::optional<std::string_view> servableName(std::string_view path);

}  // namespace velquor::serve
