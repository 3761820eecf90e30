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

support::Status FetchLogWriter::open(const std::filesystem::path& path,
                                     const RecordVisitor& visit) {
    // Read as well as written: the last byte tells whether the last line was ended.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return makeError(ErrorCode::Io, "cannot open the fetch log " + path.string() + ": " +
                                            std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return makeError(ErrorCode::InvalidInput,
                         "the fetch log " + path.string() + " is not a regular file");
    }
    std::string start;
    if (info.st_size == 0) {
        start = fetchLogHeader() + "\r\n";
    } else {
        const RecordVisitor none = [](const FetchRecord&) {};
        auto read = readFetchLog(path, visit ? visit : none);
        if (!read) {
            ::close(fd);
            return read.error();
        }
        char last = 0;
        if (::pread(fd, &last, 1, info.st_size - 1) != 1) {
            const int err = errno;
            ::close(fd);
            return makeError(ErrorCode::Io, "cannot read the fetch log " + path.string() + ": " +
                                                std::strerror(err));
        }
        if (last != '\n') start = std::string(kTornLineEnd) + "\r\n";
    }
    {
        std::lock_guard lock(m_mutex);
        m_fd = fd;
        m_path = path;
        m_pending = std::move(start);
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
            const std::string reason = "cannot write the fetch log " + m_path.string() + ": " +
                                       std::strerror(written < 0 ? errno : EIO);
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
