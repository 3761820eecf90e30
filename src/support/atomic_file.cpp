// Temporary-file-and-rename output; see atomic_file.h.
#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace velquor::support {

namespace fs = std::filesystem;

std::string describeErrno(std::string_view action, const fs::path& path, int err) {
    std::string text(action);
    text += ' ';
    text += path.string();
    text += ": ";
    text += std::strerror(err);
    return text;
}

namespace {

std::string randomSuffix() {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    const auto value = engine() ^ (static_cast<unsigned long long>(counter++) << 40);
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix;
    auto bits = value;
    for (int i = 0; i < 10; ++i) {
        suffix += kAlphabet[bits % 36];
        bits /= 36;
    }
    return suffix;
}

fs::path folderOf(const fs::path& target) {
    auto parent = target.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

Status fsyncFolder(const fs::path& folder) {
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return makeError(ErrorCode::Io, describeErrno("cannot open folder", folder, errno));
    const int rc = ::fsync(dirFd);
    const int err = errno;
    ::close(dirFd);
    if (rc != 0) return makeError(ErrorCode::Io, describeErrno("cannot sync folder", folder, err));
    return {};
}

}  // namespace

Result<AtomicOutputFile> AtomicOutputFile::create(const fs::path& target, Durability durability) {
    if (target.empty() || !target.has_filename()) {
        return makeError(ErrorCode::InvalidInput, "no output file name given");
    }
    AtomicOutputFile file;
    file.m_target = target;
    file.m_durability = durability;
    // Keep the permissions of a regular file we replace; new files get 0666 less the umask.
    mode_t mode = 0666;
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        mode = existing.st_mode & 07777;
    }
    const auto folder = folderOf(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = folder / ("." + target.filename().string() + ".tmp-" + randomSuffix());
        const int fd = ::open(candidate.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (mode != 0666) (void)::fchmod(fd, mode);
            file.m_fd = fd;
            file.m_tempPath = std::move(candidate);
            return file;
        }
        if (errno != EEXIST) {
            return makeError(ErrorCode::Io, describeErrno("cannot create a file in", folder, errno));
        }
    }
    return makeError(ErrorCode::Io, "cannot create a temporary file in " + folder.string());
}

AtomicOutputFile::AtomicOutputFile(AtomicOutputFile&& other) noexcept
    : m_target(std::move(other.m_target)),
      m_tempPath(std::move(other.m_tempPath)),
      m_fd(std::exchange(other.m_fd, -1)),
      m_durability(other.m_durability),
      m_committed(std::exchange(other.m_committed, true)) {
    other.m_tempPath.clear();
}

AtomicOutputFile& AtomicOutputFile::operator=(AtomicOutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        m_target = std::move(other.m_target);
        m_tempPath = std::move(other.m_tempPath);
        m_fd = std::exchange(other.m_fd, -1);
        m_durability = other.m_durability;
        m_committed = std::exchange(other.m_committed, true);
        other.m_tempPath.clear();
    }
    return *this;
}

AtomicOutputFile::~AtomicOutputFile() { discard(); }

void AtomicOutputFile::closeFd() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void AtomicOutputFile::discard() {
    closeFd();
    if (!m_committed && !m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

Status AtomicOutputFile::write(const void* data, std::size_t size) {
    if (m_fd < 0) return makeError(ErrorCode::Internal, "write to a closed output file");
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(m_fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return makeError(ErrorCode::Io, describeErrno("cannot write", m_target, errno));
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

Status AtomicOutputFile::commit() {
    if (m_fd < 0 || m_committed) return makeError(ErrorCode::Internal, "commit of a closed output file");
    if (m_durability == Durability::Sync && ::fsync(m_fd) != 0) {
        return makeError(ErrorCode::Io, describeErrno("cannot write", m_target, errno));
    }
    // close() can report a deferred write error (NFS, quotas): check it.
    const int rc = ::close(m_fd);
    m_fd = -1;
    if (rc != 0) return makeError(ErrorCode::Io, describeErrno("cannot write", m_target, errno));
    if (::rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        return makeError(ErrorCode::Io, describeErrno("cannot replace", m_target, errno));
    }
    m_committed = true;
    m_tempPath.clear();
    if (m_durability == Durability::Sync) return fsyncFolder(folderOf(m_target));
    return {};
}

Status writeFileAtomically(const fs::path& target, std::span<const std::byte> bytes,
                           Durability durability) {
    auto file = AtomicOutputFile::create(target, durability);
    if (!file) return file.error();
    if (auto written = file->write(bytes); !written) return written;
    return file->commit();
}

Status syncFileSystemOf(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return makeError(ErrorCode::Io, describeErrno("cannot open", path, errno));
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0) return makeError(ErrorCode::Io, describeErrno("cannot sync", path, err));
    return {};
}

}  // namespace velquor::support
