// Same-file test and bounded whole-file read; see file_identity.h.
#include "support/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/atomic_file.h"

namespace velquor::support {

namespace fs = std::filesystem;

std::optional<FileIdentity> identityOf(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<FileIdentity> identityOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

bool isSameFile(const fs::path& a, const fs::path& b) {
    const auto first = identityOf(a);
    const auto second = identityOf(b);
    return first && second && *first == *second;
}

Status refuseSameFile(const fs::path& input, const fs::path& output) {
    if (isSameFile(input, output)) {
        return makeError(ErrorCode::SameFile, "the output file " + output.string() +
                                                  " is the input file " + input.string() +
                                                  " itself; choose another output file");
    }
    return {};
}

Result<std::string> readWholeFile(const fs::path& path, std::uint64_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return makeError(errno == ENOENT ? ErrorCode::NotFound : ErrorCode::Io,
                         describeErrno("cannot open", path, errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return makeError(ErrorCode::InvalidInput, "cannot read " + path.string() + ": not a file");
    }
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) > maxBytes) {
        ::close(fd);
        return makeError(ErrorCode::TooLarge, "cannot read " + path.string() + ": larger than " +
                                                  std::to_string(maxBytes) + " bytes");
    }
    std::string content;
    if (S_ISREG(info.st_mode)) content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return makeError(ErrorCode::Io, describeErrno("cannot read", path, err));
        }
        if (n == 0) break;
        if (content.size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            return makeError(ErrorCode::TooLarge, "cannot read " + path.string() +
                                                      ": larger than " + std::to_string(maxBytes) +
                                                      " bytes");
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

}  // namespace velquor::support
