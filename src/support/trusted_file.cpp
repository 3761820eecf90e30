// Settings and state files read without blocking and without trusting others; see
// trusted_file.h.
#include "support/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/atomic_file.h"
#include "support/file_identity.h"

namespace velquor::support {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Opens path for reading without waiting for a FIFO's writer, and says what it is.
Result<struct stat> openAndLook(const std::filesystem::path& path, FileTrust trust, int* fd) {
    *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0) {
        const int err = errno;
        return errnoError(err == ENOENT ? ErrorCode::NotFound : ErrorCode::Io,
                          VELQUOR_TR_NOOP("core", "cannot read %1: %2"), path, err);
    }
    struct stat info {};
    if (::fstat(*fd, &info) != 0) {
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot read %1: %2"), path,
                          errno);
    }
    if (!S_ISREG(info.st_mode)) {
        //: %1 is the path, %2 what it is (a FIFO, a folder, a device...)
        return makeError(
            ErrorCode::InvalidInput,
            withReason(Phrase{VELQUOR_TR_NOOP("core", "%1 is %2, not a file"), {path.string()}},
                       fileTypeName(info.st_mode)));
    }
    if (trust == FileTrust::OwnerOrRoot) {
        if (Phrase why = distrustPhrase(path, info.st_mode, info.st_uid); !why.empty()) {
            return makeError(ErrorCode::Refused, std::move(why));
        }
    }
    return info;
}

}  // namespace

std::string fileTypeName(mode_t mode) {
    if (S_ISFIFO(mode)) return VELQUOR_TR_NOOP("core", "a FIFO");
    if (S_ISDIR(mode)) return VELQUOR_TR_NOOP("core", "a folder");
    if (S_ISCHR(mode)) return VELQUOR_TR_NOOP("core", "a character device");
    if (S_ISBLK(mode)) return VELQUOR_TR_NOOP("core", "a block device");
    if (S_ISSOCK(mode)) return VELQUOR_TR_NOOP("core", "a socket");
    if (S_ISLNK(mode)) return VELQUOR_TR_NOOP("core", "a symbolic link");
    return VELQUOR_TR_NOOP("core", "a file");
}

Phrase distrustPhrase(const std::filesystem::path& path, mode_t mode, uid_t owner) {
    if (owner != ::geteuid() && owner != 0) {
        //: %1 is the file, %2 its owner's user number
        return Phrase{
            VELQUOR_TR_NOOP("core", "%1 belongs to another user (uid %2), not to you or root"),
            {path.string(), std::to_string(owner)}};
    }
    if ((mode & S_IWOTH) != 0) {
        return Phrase{VELQUOR_TR_NOOP("core", "%1 is writable by every user"), {path.string()}};
    }
    return {};
}

std::string distrustReason(const std::filesystem::path& path, mode_t mode, uid_t owner) {
    return distrustPhrase(path, mode, owner).english();
}

Result<std::string> readTrustedFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                    FileTrust trust) {
    int raw = -1;
    auto info = openAndLook(path, trust, &raw);
    Descriptor fd(raw);
    if (!info) return info.error();
    if (static_cast<std::uint64_t>(info->st_size) > maxBytes) return tooLargeToRead(path, maxBytes);
    std::string content;
    char buffer[1 << 14];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot read %1: %2"), path,
                              errno);
        }
        if (got == 0) return content;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > maxBytes) return tooLargeToRead(path, maxBytes);
    }
}

Status checkTrustedFile(const std::filesystem::path& path, FileTrust trust) {
    int raw = -1;
    auto info = openAndLook(path, trust, &raw);
    Descriptor fd(raw);
    if (!info) return info.error();
    return {};
}

}  // namespace velquor::support
