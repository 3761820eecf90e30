// Settings and state files read without blocking and without trusting others; see
// trusted_file.h.
#include "support/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/atomic_file.h"

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
        return makeError(err == ENOENT ? ErrorCode::NotFound : ErrorCode::Io,
                         describeErrno("cannot read", path, err));
    }
    struct stat info {};
    if (::fstat(*fd, &info) != 0) {
        return makeError(ErrorCode::Io, describeErrno("cannot read", path, errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return makeError(ErrorCode::InvalidInput,
                         path.string() + " is " + fileTypeName(info.st_mode) + ", not a file");
    }
    if (trust == FileTrust::OwnerOrRoot) {
        if (std::string why = distrustReason(path, info.st_mode, info.st_uid); !why.empty()) {
            return makeError(ErrorCode::Refused, why);
        }
    }
    return info;
}

}  // namespace

std::string fileTypeName(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a file";
}

std::string distrustReason(const std::filesystem::path& path, mode_t mode, uid_t owner) {
    if (owner != ::geteuid() && owner != 0) {
        return path.string() + " belongs to another user (uid " + std::to_string(owner) +
               "), not to you or root";
    }
    if ((mode & S_IWOTH) != 0) return path.string() + " is writable by every user";
    return {};
}

Result<std::string> readTrustedFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                    FileTrust trust) {
    int raw = -1;
    auto info = openAndLook(path, trust, &raw);
    Descriptor fd(raw);
    if (!info) return info.error();
    if (static_cast<std::uint64_t>(info->st_size) > maxBytes) {
        return makeError(ErrorCode::TooLarge, "cannot read " + path.string() + ": larger than " +
                                                  std::to_string(maxBytes) + " bytes");
    }
    std::string content;
    char buffer[1 << 14];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return makeError(ErrorCode::Io, describeErrno("cannot read", path, errno));
        if (got == 0) return content;
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > maxBytes) {
            return makeError(ErrorCode::TooLarge, "cannot read " + path.string() +
                                                      ": larger than " + std::to_string(maxBytes) +
                                                      " bytes");
        }
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
