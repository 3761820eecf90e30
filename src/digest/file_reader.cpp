// Chunked file streaming for the digest routes; see file_reader.h.
#include "digest/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace velquor::digest::detail {

namespace {

support::Error fileError(const std::string& path, std::string_view action, int err) {
    const auto code =
        (err == ENOENT || err == ENOTDIR) ? support::ErrorCode::NotFound : support::ErrorCode::Io;
    return support::makeError(
        code, "cannot " + std::string(action) + " '" + path + "': " + std::strerror(err));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// read() that fills as much of the buffer as the file has. An interrupted read is retried
// unless a stop was asked for meanwhile (a pipe that stays silent must not outlast Ctrl-C).
ssize_t readFully(int fd, std::uint8_t* buffer, std::size_t size, const std::stop_token& stop) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, buffer + filled, size - filled);
        if (got < 0) {
            if (errno == EINTR && !stop.stop_requested()) continue;
            if (errno == EINTR) break;
            return -1;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(filled);
}

}  // namespace

support::Result<std::uint64_t> streamFile(const std::string& path, const ChunkConsumer& consume,
                                          support::ProgressSink& progress, std::stop_token stop) {
    if (path.empty()) {
        return support::makeError(support::ErrorCode::InvalidInput, "no file given");
    }
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return fileError(path, "open", errno);

    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return fileError(path, "read", errno);
    if (S_ISDIR(info.st_mode)) return fileError(path, "read", EISDIR);
    const std::uint64_t total =
        S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    // The kernel reads ahead harder for a file it knows is read once, front to back.
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kFileChunkSize]);
    std::uint64_t done = 0;
    progress.progress(0, total, path);
    for (;;) {
        if (stop.stop_requested()) {
            return support::makeError(support::ErrorCode::Cancelled,
                                      "digest of '" + path + "' cancelled");
        }
        const ssize_t got = readFully(file.get(), buffer.get(), kFileChunkSize, stop);
        if (got < 0) return fileError(path, "read", errno);
        // A read cut short by a stop is not the end of the file.
        if (stop.stop_requested()) continue;
        if (got == 0) break;
        consume(buffer.get(), static_cast<std::size_t>(got));
        done += static_cast<std::uint64_t>(got);
        progress.progress(done, total, path);
        if (static_cast<std::size_t>(got) < kFileChunkSize) break;
    }
    return done;
}

}  // namespace velquor::digest::detail
