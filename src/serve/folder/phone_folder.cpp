// The served folder and its rules; see phone_folder.h.
#include "serve/folder/phone_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "serve/folder/phone_names.h"

namespace velquor::serve {
namespace {

bool isEncryptedFolderName(std::string_view segment) {
    return segment.size() == kEncryptedFolder.size() &&
           std::equal(segment.begin(), segment.end(), kEncryptedFolder.begin(),
                      [](char a, char b) { return (a | 0x20) == b; });
}

// Whether folder's real name (links resolved) is en.
bool namedEncryptedFolder(const std::filesystem::path& folder) {
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(folder, error);
    return !error && real.filename() == kEncryptedFolder;
}

std::optional<OpenedFile> openRegular(int folderFd, const std::string& relative) {
    const int fd = openBeneath(folderFd, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    return OpenedFile{fd, static_cast<std::uint64_t>(info.st_size), relative};
}

}  // namespace

std::optional<AskedFile> askedFile(std::string_view path) {
    std::size_t start = 0;
    std::string_view last;
    std::string_view folder;  // the last non-empty part before the name
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view segment = path.substr(start, slash - start);
        if (!segment.empty() && segment.front() == '.') return std::nullopt;
        if (!last.empty()) folder = last;
        last = segment;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (last.empty() || last.size() > NAME_MAX) return std::nullopt;
    if (last.find('\0') != std::string_view::npos || last.find('\\') != std::string_view::npos)
        return std::nullopt;
    return AskedFile{last, isEncryptedFolderName(folder)};
}

PhoneFolder::Opening::~Opening() {
    if (fd >= 0) ::close(fd);
}

PhoneFolder::OpeningPtr PhoneFolder::openingOf(const std::filesystem::path& folder) {
    auto opening = std::make_shared<Opening>();
    opening->fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (opening->fd < 0 || ::fstat(opening->fd, &info) != 0) return nullptr;
    opening->device = info.st_dev;
    opening->inode = info.st_ino;
    return opening;
}

support::Status PhoneFolder::open(const std::filesystem::path& folder,
                                  const mac::FileNamePattern& pattern) {
    OpeningPtr opening = openingOf(folder);
    if (!opening) {
        return support::makeError(
            errno == ENOENT ? support::ErrorCode::NotFound : support::ErrorCode::InvalidInput,
            "cannot serve the folder " + folder.string() + ": " + std::strerror(errno));
    }
    m_opening.store(std::move(opening));
    m_path = folder;
    std::error_code error;
    m_lookupPath = std::filesystem::absolute(folder, error);
    if (error) m_lookupPath = folder;
    m_pattern = pattern;
    m_isEncryptedFolder = namedEncryptedFolder(folder);
    return {};
}

// A stat of the path per request: the same folder keeps its opening; another one is opened.
// Device and inode tell them apart: while the opening holds the folder, its inode number
// cannot go to another one, even when the folder is removed.
PhoneFolder::OpeningPtr PhoneFolder::current() {
    struct stat info {};
    if (::stat(m_lookupPath.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        noteMissing();
        return nullptr;
    }
    OpeningPtr opening = m_opening.load();
    if (!opening || opening->device != info.st_dev || opening->inode != info.st_ino)
        return reopen(opening);
    if (m_missing.load(std::memory_order_relaxed)) m_missing.store(false);
    return opening;
}

PhoneFolder::OpeningPtr PhoneFolder::reopen(const OpeningPtr& stale) {
    std::lock_guard lock(m_reopenMutex);
    OpeningPtr opening = m_opening.load();
    if (opening != stale) return opening;  // another request opened it meanwhile
    OpeningPtr fresh = openingOf(m_lookupPath);
    if (!fresh) {
        noteMissing();
        return nullptr;
    }
    m_opening.store(fresh);
    m_missing.store(false);
    return fresh;
}

void PhoneFolder::noteMissing() {
    if (!m_missing.exchange(true)) ++m_timesMissing;
}

std::optional<OpenedFile> PhoneFolder::find(const Opening& opening, bool encrypted,
                                            const std::string& name,
                                            const std::optional<std::string>& phone) {
    const bool inEncryptedFolder = encrypted && !m_isEncryptedFolder;
    const std::string prefix = inEncryptedFolder ? std::string(kEncryptedFolder) + "/" : "";
    if (auto file = openRegular(opening.fd, prefix + name)) return file;
    if (!phone) return std::nullopt;
    NameIndex& index = inEncryptedFolder ? m_encryptedIndex : m_plainIndex;
    std::optional<std::string> onDisk = index.nameOf(opening.fd, *phone, m_pattern, false);
    if (!onDisk) return std::nullopt;
    if (auto file = openRegular(opening.fd, prefix + *onDisk)) return file;
    // Renamed or removed since the index was made within the same clock tick.
    onDisk = index.nameOf(opening.fd, *phone, m_pattern, true);
    return onDisk ? openRegular(opening.fd, prefix + *onDisk) : std::nullopt;
}

Lookup PhoneFolder::lookup(std::string_view path) {
    Lookup result;
    const std::optional<AskedFile> asked = askedFile(path);
    if (!asked) return result;
    const std::string name(asked->name);
    const std::optional<std::string> phone = m_pattern.deviceOf(name);
    result.mac = phone ? *phone : macInName(name).value_or("");
    const OpeningPtr opening = current();
    if (opening) result.file = find(*opening, asked->encrypted, name, phone);
    result.folderMissing = opening == nullptr;
    return result;
}

std::vector<std::string> PhoneFolder::phoneFiles() {
    const OpeningPtr opening = current();
    return opening ? m_plainIndex.names(opening->fd, m_pattern) : std::vector<std::string>{};
}

FolderHealth PhoneFolder::health() {
    (void)current();
    return FolderHealth{m_missing.load(), m_timesMissing.load()};
}

std::vector<support::Phrase> folderNews(const FolderHealth& before, const FolderHealth& now,
                                        const std::filesystem::path& folder) {
    std::vector<support::Phrase> news;
    if (now.timesMissing != before.timesMissing) {
        //: %1 is a folder
        news.push_back({VELQUOR_TR_NOOP("core",
                                        "The folder %1 is not there: phones get 503 (service "
                                        "unavailable) until it is back."),
                        {folder.string()}});
    }
    if (!now.missing && (before.missing || now.timesMissing != before.timesMissing)) {
        //: %1 is a folder
        news.push_back(
            {VELQUOR_TR_NOOP("core", "The folder %1 is back: its files are served again."),
             {folder.string()}});
    }
    return news;
}

}  // namespace velquor::serve
