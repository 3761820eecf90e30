// The phones' files of a folder by MAC; see name_index.h.
#include "serve/folder/name_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace velquor::serve {
namespace {

// Without openat2: each part opened on its own, none of them a link.
int openWithoutLinks(int folderFd, const std::string& relative, int flags) {
    const std::size_t slash = relative.find('/');
    if (slash == std::string::npos)
        return ::openat(folderFd, relative.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    const int inner = ::openat(folderFd, relative.substr(0, slash).c_str(),
                               O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0) return -1;
    const int fd = openWithoutLinks(inner, relative.substr(slash + 1), flags);
    const int error = errno;
    ::close(inner);
    errno = error;
    return fd;
}

}  // namespace

int openBeneath(int folderFd, const std::string& relative, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folderFd, relative.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    return openWithoutLinks(folderFd, relative, flags);
}

std::optional<std::string> NameIndex::nameOf(int folderFd, const std::string& mac,
                                             const mac::FileNamePattern& pattern, bool relisted) {
    refresh(folderFd, pattern, relisted);
    std::shared_lock lock(m_mutex);
    const auto found = m_names.find(mac);
    if (found == m_names.end()) return std::nullopt;
    return found->second;
}

std::vector<std::string> NameIndex::names(int folderFd, const mac::FileNamePattern& pattern) {
    refresh(folderFd, pattern, false);
    std::vector<std::string> names;
    {
        std::shared_lock lock(m_mutex);
        for (const auto& entry : m_names) names.push_back(entry.second);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void NameIndex::refresh(int folderFd, const mac::FileNamePattern& pattern, bool relisted) {
    struct stat info {};
    const int statFlags = m_relative.empty() ? AT_EMPTY_PATH : 0;
    if (::fstatat(folderFd, m_relative.c_str(), &info, statFlags) != 0 || !S_ISDIR(info.st_mode)) {
        std::unique_lock lock(m_mutex);
        m_names.clear();
        m_stamp = {};
        return;
    }
    const Stamp stamp{
        info.st_dev, info.st_ino,
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
    {
        std::shared_lock lock(m_mutex);
        if (!relisted && stamp == m_stamp) return;
    }
    const int listFd =
        openBeneath(folderFd, m_relative.empty() ? "." : m_relative, O_RDONLY | O_DIRECTORY);
    if (listFd < 0) return;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return;
    }
    std::unordered_map<std::string, std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.' || entry->d_type == DT_DIR) continue;
        if (auto mac = pattern.deviceOf(name)) {
            // Two spellings of one phone's name on disk: the smaller name wins, whatever order
            // the folder lists them in.
            auto [where, added] = names.emplace(*mac, name);
            if (!added && name < where->second) where->second = name;
        }
    }
    ::closedir(dir);
    std::unique_lock lock(m_mutex);
    m_names = std::move(names);
    m_stamp = stamp;
}

}  // namespace velquor::serve
