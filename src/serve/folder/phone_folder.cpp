// The served folder and its rules; see phone_folder.h.
#include "serve/folder/phone_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "serve/folder/phone_names.h"

namespace velquor::serve {
namespace {

// openat2 with RESOLVE_BENEATH: a link is followed only while it stays inside the folder.
// Kernels before 5.6 lack it; there no link is followed at all.
int openBeneath(int dirFd, const std::string& name) {
    open_how how{};
    how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, dirFd, name.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    return ::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
}

std::int64_t modificationStamp(const struct stat& info) {
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

}  // namespace

std::optional<std::string_view> servableName(std::string_view path) {
    std::size_t start = 0;
    std::string_view last;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view segment = path.substr(start, slash - start);
        if (!segment.empty() && segment.front() == '.') return std::nullopt;
        last = segment;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (last.empty() || last.size() > NAME_MAX) return std::nullopt;
    if (last.find('\0') != std::string_view::npos || last.find('\\') != std::string_view::npos)
        return std::nullopt;
    return last;
}

PhoneFolder::~PhoneFolder() {
    if (m_dirFd >= 0) ::close(m_dirFd);
}

support::Status PhoneFolder::open(const std::filesystem::path& folder,
                                  const mac::FileNamePattern& pattern) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return support::makeError(
            errno == ENOENT ? support::ErrorCode::NotFound : support::ErrorCode::InvalidInput,
            "cannot serve the folder " + folder.string() + ": " + std::strerror(errno));
    }
    m_dirFd = fd;
    m_path = folder;
    m_pattern = pattern;
    refreshIndexIfChanged(true);
    return {};
}

std::optional<OpenedFile> PhoneFolder::openExact(const std::string& name) const {
    const int fd = openBeneath(m_dirFd, name);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    return OpenedFile{fd, static_cast<std::uint64_t>(info.st_size), name};
}

void PhoneFolder::refreshIndexIfChanged(bool force) {
    struct stat info {};
    if (::fstat(m_dirFd, &info) != 0) return;
    const std::int64_t stamp = modificationStamp(info);
    {
        std::shared_lock lock(m_indexMutex);
        if (!force && stamp == m_indexStamp) return;
    }
    std::unordered_map<std::string, std::string> index;
    const int listFd = ::openat(m_dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* dir = ::fdopendir(listFd);
    if (dir == nullptr) {
        ::close(listFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.' || entry->d_type == DT_DIR) continue;
        if (auto mac = m_pattern.deviceOf(name)) {
            // Two spellings of one phone's name on disk: the smaller name wins, whatever order
            // the folder lists them in.
            auto [where, added] = index.emplace(*mac, name);
            if (!added && name < where->second) where->second = name;
        }
    }
    ::closedir(dir);
    std::unique_lock lock(m_indexMutex);
    m_index = std::move(index);
    m_indexStamp = stamp;
}

std::optional<std::string> PhoneFolder::indexedName(const std::string& mac) {
    std::shared_lock lock(m_indexMutex);
    const auto found = m_index.find(mac);
    if (found == m_index.end()) return std::nullopt;
    return found->second;
}

Lookup PhoneFolder::lookup(std::string_view path) {
    Lookup result;
    const std::optional<std::string_view> name = servableName(path);
    if (!name) return result;
    const std::string asked(*name);
    const std::optional<std::string> phone = m_pattern.deviceOf(asked);
    result.mac = phone ? *phone : macInName(asked).value_or("");
    result.file = openExact(asked);
    if (result.file || !phone) return result;
    refreshIndexIfChanged(false);
    std::optional<std::string> onDisk = indexedName(*phone);
    if (onDisk) result.file = openExact(*onDisk);
    if (!result.file && onDisk) {
        // Renamed or removed since the index was made within the same clock tick.
        refreshIndexIfChanged(true);
        if ((onDisk = indexedName(*phone))) result.file = openExact(*onDisk);
    }
    return result;
}

std::vector<std::string> PhoneFolder::phoneFiles() {
    refreshIndexIfChanged(false);
    std::vector<std::string> names;
    {
        std::shared_lock lock(m_indexMutex);
        for (const auto& entry : m_index) names.push_back(entry.second);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace velquor::serve
