// Chunked reading of one input file; see input_file.h.
#include "support/input_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace velquor::support {

namespace {

// Each action's sentence whole, for the window's translation.
const char* fileErrorPattern(std::string_view action) {
    if (action == "open") return VELQUOR_TR_NOOP("core", "cannot open '%1': %2");
    if (action == "read") return VELQUOR_TR_NOOP("core", "cannot read '%1': %2");
    if (action == "seek") return VELQUOR_TR_NOOP("core", "cannot seek '%1': %2");
    return nullptr;
}

}  // namespace

Error fileError(std::string_view action, const std::string& path, int err) {
    const auto code = (err == ENOENT || err == ENOTDIR) ? ErrorCode::NotFound : ErrorCode::Io;
    if (const char* pattern = fileErrorPattern(action); pattern != nullptr) {
        return makeError(code, Phrase{pattern, {path, std::strerror(err)}});
    }
    return makeError(code,
                     "cannot " + std::string(action) + " '" + path + "': " + std::strerror(err));
}

Result<InputFile> InputFile::open(const std::string& path) {
    if (path.empty()) {
        return makeError(ErrorCode::InvalidInput, Phrase{VELQUOR_TR_NOOP("core", "no file given")});
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fileError("open", path, errno);
    return adopt(fd, path);
}

Result<InputFile> InputFile::standardInput() {
    const std::string name = "standard input";
    // A copy, so that closing this file leaves fd 0 to the process.
    const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return fileError("read", name, errno);
    return adopt(fd, name);
}

Result<InputFile> InputFile::adopt(int fd, const std::string& path) {
    struct stat info {};
    const int statError = ::fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    if (statError != 0) {
        ::close(fd);
        return fileError("read", path, statError);
    }
    // Standard input redirected from a file may have been read partly already: the size for
    // progress is what is left.
    std::uint64_t size = 0;
    if (S_ISREG(info.st_mode)) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= 0 && at <= info.st_size) size = static_cast<std::uint64_t>(info.st_size - at);
    }
    // The kernel reads ahead harder for a file it knows is read once, front to back.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return InputFile(fd, path, size, S_ISREG(info.st_mode));
}

InputFile::InputFile(InputFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_path(std::move(other.m_path)),
      m_size(other.m_size),
      m_regular(other.m_regular) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_size = other.m_size;
        m_regular = other.m_regular;
    }
    return *this;
}

InputFile::~InputFile() {
    close();
}

void InputFile::close() {
    if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
}

namespace {

// How long a read of a silent pipe or terminal waits before it looks at the stop token again.
// A signal cannot be relied on to break the read: it may be delivered to another thread.
constexpr int kStopPollMs = 50;

// Waits until fd has something to read (or has ended); false when stop was requested first.
bool waitReadable(int fd, const std::stop_token& stop) {
    pollfd watched{fd, POLLIN, 0};
    for (;;) {
        if (stop.stop_requested()) return false;
        const int ready = ::poll(&watched, 1, kStopPollMs);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return true;  // read() tells what it is
    }
}

}  // namespace

Result<std::size_t> InputFile::readFully(void* buffer, std::size_t size,
                                         const std::stop_token& stop) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t filled = 0;
    const bool mayBlock = !m_regular && stop.stop_possible();
    while (filled < size) {
        if (mayBlock && !waitReadable(m_fd, stop)) break;
        const ssize_t got = ::read(m_fd, bytes + filled, size - filled);
        if (got < 0) {
            if (errno != EINTR) return fileError("read", m_path, errno);
            if (stop.stop_requested()) break;
            continue;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

}  // namespace velquor::support
