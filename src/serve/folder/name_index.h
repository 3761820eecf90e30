// The phones' files of one folder by MAC: which name on disk holds each phone's file under the
// file-name pattern, whatever the spelling and case of the MAC in it. Made by listing the
// folder, and made again when the folder changed: another folder in its place (device and
// inode) or a name added, renamed or removed (its modification time).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "mac/file_name.h"

namespace velquor::serve {

class NameIndex {
public:
    // The folder listed: relative to the folder open as folderFd ("" for that folder itself,
    // "en" for its en/).
    explicit NameIndex(std::string relative) : m_relative(std::move(relative)) {}

    // The name on disk of the file of the phone with this canonical MAC; relisted: list the
    // folder again whatever its stamp (a name indexed could not be opened).
    std::optional<std::string> nameOf(int folderFd, const std::string& mac,
                                      const mac::FileNamePattern& pattern, bool relisted);
    // Every phone's file, one name per phone, sorted.
    std::vector<std::string> names(int folderFd, const mac::FileNamePattern& pattern);

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t modified = -1;
        bool operator==(const Stamp&) const = default;
    };

    void refresh(int folderFd, const mac::FileNamePattern& pattern, bool relisted);

    std::string m_relative;
    std::shared_mutex m_mutex;
    std::unordered_map<std::string, std::string> m_names;  // canonical MAC -> name on disk
    Stamp m_stamp;
};

// Opens relative (a name, or folder/name) inside the folder open as folderFd with these open
// flags: a link is followed only while it stays inside the folder (kernels before 5.6: no link
// at all). -1 with errno as the system set it.
int openBeneath(int folderFd, const std::string& relative, int flags);

}  // namespace velquor::serve
