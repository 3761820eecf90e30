// Appending to a fetch log; see fetch_log_writer.h.
#include "serve/log/fetch_log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velquor::serve {

using support::ErrorCode;
using support::makeError;

FetchLogWriter::~FetchLogWriter() {
    if (m_fd >= 0) {
        (void)flush();
        ::close(m_fd);
    }
}

namespace {

support::Error ioError(const char* what, const std::filesystem::path& path, int err) {
    return makeError(ErrorCode::Io, std::string("cannot ") + what + " the fetch log " +
                                        path.string() + ": " + std::strerror(err));
}

// A log whose header line itself was cut short (the disk was full when it was made) holds
// nothing yet: it is emptied and begun again.
bool onlyAHeaderCutShort(int fd, off_t size) {
    const std::string header = fetchLogHeader() + "\r\n";
    if (size <= 0 || static_cast<std::size_t>(size) >= header.size()) return false;
    std::string start(static_cast<std::size_t>(size), '\0');
    return ::pread(fd, start.data(), start.size(), 0) == size && header.starts_with(start) &&
           ::ftruncate(fd, 0) == 0;
}

// What goes into the log before the next record: its header when it is new, the end of a
// torn last line, or nothing. Each record it holds is passed to visit on the way.
support::Result<std::string> startOf(int fd, const std::filesystem::path& path,
                                     const RecordVisitor& visit) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return makeError(ErrorCode::InvalidInput,
                         "the fetch log " + path.string() + " is not a regular file");
    }
    if (info.st_size == 0 || onlyAHeaderCutShort(fd, info.st_size))
        return fetchLogHeader() + "\r\n";
    const RecordVisitor none = [](const FetchRecord&) {};
    if (auto read = readFetchLog(path, visit ? visit : none); !read) return read.error();
    char last = 0;
    if (::pread(fd, &last, 1, info.st_size - 1) != 1) return ioError("read", path, errno);
    return last == '\n' ? std::string() : std::string(kTornLineEnd) + "\r\n";
}

}  // namespace

support::Status FetchLogWriter::open(const std::filesystem::path& path,
                                     const RecordVisitor& visit) {
    // Read as well as written: the last byte tells whether the last line was ended.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return ioError("open", path, errno);
    auto start = startOf(fd, path, visit);
    if (!start) {
        ::close(fd);
        return start.error();
    }
    {
        std::lock_guard lock(m_mutex);
        m_fd = fd;
        m_path = path;
        m_pending = std::move(*start);
    }
    // The header or the end of a torn line goes out now, whether a record follows or not.
    (void)flush();
    return {};
}

void FetchLogWriter::append(const FetchRecord& record) {
    std::string line = fetchLogLine(record);
    std::lock_guard lock(m_mutex);
    if (m_pending.size() + line.size() > kPendingBytes) {
        ++m_dropped;
        return;
    }
    m_pending += line;
}

support::Status FetchLogWriter::flush() {
    std::string writing;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0 || m_pending.empty()) return {};
        writing.swap(m_pending);
    }
    std::size_t done = 0;
    while (done < writing.size()) {
        const ssize_t written = ::write(m_fd, writing.data() + done, writing.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const std::string reason = ioError("write", m_path, written < 0 ? errno : EIO).message;
            std::lock_guard lock(m_mutex);
            // What was not written goes back in front of what came meanwhile: the rest of a
            // line written in part ends that line first. Appends stop at the bound, so this
            // holds at most twice kPendingBytes.
            m_pending.insert(0, writing, done);
            if (m_error.empty()) m_error = reason;
            return makeError(ErrorCode::Io, reason);
        }
        done += static_cast<std::size_t>(written);
    }
    return {};
}

std::string FetchLogWriter::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

}  // namespace velquor::serve
