// Temporary-file-and-rename output; see atomic_file.h.
#include "support/atomic_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <random>
#include <thread>

#include "support/trusted_file.h"

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

Error errnoError(ErrorCode code, const char* pattern, const fs::path& path, int err) {
    return makeError(code, Phrase{pattern, {path.string(), std::strerror(err)}});
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
    if (dirFd < 0)
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot open folder %1: %2"),
                          folder, errno);
    const int rc = ::fsync(dirFd);
    const int err = errno;
    ::close(dirFd);
    if (rc != 0)
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot sync folder %1: %2"),
                          folder, err);
    return {};
}

bool isStreamNode(mode_t mode) {
    return S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

// A copy of this process's standard output or error when info describes the file it is open
// on: what /dev/stdout leads to. Writing there is what the user asked for even when it is a
// regular file (the shell has already emptied it), and it is the only way into a socket that
// is not listening, such as a service manager's log stream. -1 when it is neither.
Result<int> ownStandardStreamFor(const fs::path& target, const struct stat& info) {
    for (const int own : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat ownInfo {};
        if (::fstat(own, &ownInfo) == 0 && ownInfo.st_dev == info.st_dev &&
            ownInfo.st_ino == info.st_ino) {
            const int fd = ::fcntl(own, F_DUPFD_CLOEXEC, 3);
            if (fd < 0)
                return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"),
                                  target, errno);
            return fd;
        }
    }
    return -1;
}

// A socket node cannot be opened; a listening local socket is connected to.
Result<int> connectSocket(const fs::path& target) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (target.native().size() >= sizeof address.sun_path) {
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot connect to %1: %2"),
                          target, ENAMETOOLONG);
    }
    std::memcpy(address.sun_path, target.c_str(), target.native().size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot connect to %1: %2"),
                          target, errno);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int err = errno;
        ::close(fd);
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot connect to %1: %2"),
                          target, err);
    }
    return fd;
}

// Opening a FIFO blocks until a reader comes. Where the wait can be stopped, it polls with
// O_NONBLOCK instead (ENXIO: no reader yet), since a blocked open() may never see the signal
// that asked for the stop.
Result<int> openDevice(const fs::path& target, const std::stop_token& stop) {
    const int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    const bool pollForReader = stop.stop_possible();
    for (;;) {
        const int fd = ::open(target.c_str(), pollForReader ? flags | O_NONBLOCK : flags);
        if (fd >= 0) {
            if (pollForReader) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        const int err = errno;
        if (err != EINTR && !(pollForReader && err == ENXIO)) {
            return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"), target,
                              err);
        }
        if (stop.stop_requested() || (err == EINTR && !pollForReader)) {
            return makeError(
                ErrorCode::Cancelled,
                Phrase{VELQUOR_TR_NOOP("core", "waiting for a reader of %1 was stopped"),
                       {target.string()}});
        }
        if (err == ENXIO) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

Error notARegularFile(const fs::path& target, mode_t mode) {
    //: %1 is the output file, %2 what it is ("a character device")
    return makeError(ErrorCode::InvalidInput,
                     Phrase{VELQUOR_TR_NOOP("core",
                                            "cannot write %1: it is %2, not a regular file, and "
                                            "is never replaced"),
                            {target.string(), fileTypeName(mode)},
                            support::markedArgument(2)});
}

// The stream a user-chosen name leads to, or nullopt when it leads to a regular file, a
// folder or nothing, which take the temporary-file path. With StreamTarget::Refuse every
// other node is an error, as a block device always is.
Result<std::optional<int>> openStreamTarget(const fs::path& target, StreamTarget streams,
                                            const std::stop_token& stop) {
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return std::optional<int>();
    if (streams == StreamTarget::Refuse && S_ISREG(info.st_mode)) return std::optional<int>();
    if (streams == StreamTarget::Refuse || S_ISBLK(info.st_mode)) {
        return notARegularFile(target, info.st_mode);
    }
    auto own = ownStandardStreamFor(target, info);
    if (!own) return own.error();
    if (*own >= 0) return std::optional<int>(*own);
    if (!isStreamNode(info.st_mode)) return std::optional<int>();
    auto fd = S_ISSOCK(info.st_mode) ? connectSocket(target) : openDevice(target, stop);
    if (!fd) return fd.error();
    // The name may have been swapped between the look and the open: write through only to
    // what was looked at, never into a regular file in place.
    struct stat opened {};
    if (::fstat(*fd, &opened) != 0 || !isStreamNode(opened.st_mode)) {
        ::close(*fd);
        return makeError(
            ErrorCode::Io,
            Phrase{VELQUOR_TR_NOOP("core", "cannot write %1: it changed while being opened"),
                   {target.string()}});
    }
    return std::optional<int>(*fd);
}

}  // namespace

OutputFolder::OutputFolder(fs::path folder)
    : m_path(std::move(folder)), m_fd(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (m_fd < 0) m_fd = AT_FDCWD;
}

OutputFolder::~OutputFolder() {
    if (m_fd != AT_FDCWD) ::close(m_fd);
}

Result<AtomicOutputFile> AtomicOutputFile::create(const fs::path& target,
                                                  const OutputOptions& options) {
    if (target.empty() || !target.has_filename()) {
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "no output file name given")});
    }
    AtomicOutputFile file;
    file.m_target = target;
    file.m_targetName = target.string();
    file.m_durability = options.durability;
    {
        auto stream = openStreamTarget(target, options.streams, options.stop);
        if (!stream) return stream.error();
        if (*stream) {
            file.m_fd = **stream;
            file.m_stream = true;
            return file;
        }
    }
    if (auto opened = file.openTemporary(true); !opened) return opened.error();
    return file;
}

Result<AtomicOutputFile> AtomicOutputFile::createIn(const OutputFolder& folder,
                                                    const std::string& name,
                                                    Durability durability) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        return makeError(ErrorCode::InvalidInput,
                         Phrase{VELQUOR_TR_NOOP("core", "no output file name given")});
    }
    AtomicOutputFile file;
    file.m_target = folder.path() / name;
    file.m_folderFd = folder.m_fd;
    file.m_targetName = folder.m_fd == AT_FDCWD ? file.m_target.string() : name;
    file.m_folder = &folder;
    file.m_durability = durability;
    const bool lookFirst = folder.m_namesTaken.load(std::memory_order_relaxed);
    if (auto opened = file.openTemporary(lookFirst); !opened) return opened.error();
    return file;
}

Result<AtomicOutputFile> AtomicOutputFile::standardOutput() {
    AtomicOutputFile file;
    file.m_target = "standard output";
    // A copy of the descriptor, so that closing it to learn of a late error keeps fd 1 open.
    file.m_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (file.m_fd < 0) {
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"),
                          file.m_target, errno);
    }
    file.m_stream = true;
    return file;
}

// A new name gets an unnamed file in the folder (O_TMPFILE), linked in whole at commit(): one
// system call fewer per file than a temporary name and its rename, and nothing to clean up
// after a crash. A name that exists, and a file system without unnamed files, take a
// temporary beside the target instead, whose name does not grow with the target's, so a
// target name of the longest legal length still has one.
//
// Without lookFirst the unnamed file is tried at once, and a name found taken only when it is
// linked in (linkUnnamed): a file's look-up, a system call and a failed name search, saved
// on every new file of a bulk run.
Status AtomicOutputFile::openTemporary(bool lookFirst) {
    if (!lookFirst && openUnnamed()) return {};
    // Keep the permissions of a regular file we replace; new files get 0666 less the umask.
    mode_t mode = 0666;
    struct stat existing {};
    const bool taken =
        ::fstatat(m_folderFd, m_targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    const int err = errno;
    noteNameTaken(taken);
    if (taken) {
        if (S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
    } else if (err == ENOENT && lookFirst && openUnnamed()) {
        return {};
    }
    return openNamedTemporary(mode);
}

void AtomicOutputFile::noteNameTaken(bool taken) const {
    if (m_folder != nullptr && m_folder->m_namesTaken.load(std::memory_order_relaxed) != taken) {
        m_folder->m_namesTaken.store(taken, std::memory_order_relaxed);
    }
}

// The unnamed file about to replace a regular file takes that file's permissions, before it
// has a name anyone could open it by.
void AtomicOutputFile::keepModeOfTarget() const {
    struct stat existing {};
    if (::fstatat(m_folderFd, m_targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(existing.st_mode)) {
        (void)::fchmod(m_fd, existing.st_mode & 07777);
    }
}

bool AtomicOutputFile::openUnnamed() {
    const std::string folder = m_folderFd == AT_FDCWD ? folderOf(m_target).string() : ".";
    m_fd = ::openat(m_folderFd, folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    m_unnamed = m_fd >= 0;
    return m_unnamed;
}

Status AtomicOutputFile::openNamedTemporary(mode_t mode) {
    const auto folder = folderOf(m_target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = ".velquor-" + randomSuffix();
        auto candidate = folder / name;
        std::string candidateName = m_folderFd == AT_FDCWD ? candidate.string() : name;
        const int fd = ::openat(m_folderFd, candidateName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (mode != 0666) (void)::fchmod(fd, mode);
            m_fd = fd;
            m_tempPath = std::move(candidate);
            m_tempName = std::move(candidateName);
            return {};
        }
        if (errno != EEXIST) {
            return errnoError(ErrorCode::Io,
                              VELQUOR_TR_NOOP("core", "cannot create a file in %1: %2"), folder,
                              errno);
        }
    }
    return makeError(
        ErrorCode::Io,
        Phrase{VELQUOR_TR_NOOP("core", "cannot create a temporary file in %1"), {folder.string()}});
}

// Links the unnamed file at name: by its descriptor where the system lets this process, else
// through its /proc entry. Returns 0 or the errno of the link.
int AtomicOutputFile::linkUnnamedAs(const std::string& name) const {
    if (::linkat(m_fd, "", m_folderFd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return errno;
    const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
    if (::linkat(AT_FDCWD, self.c_str(), m_folderFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
    }
    return errno;
}

// The name is taken (it appeared since create() looked, or create() did not look): the whole
// file replaces it through a temporary name, as a file that was there all along, and keeps
// its permissions.
Status AtomicOutputFile::linkUnnamed() {
    int err = linkUnnamedAs(m_targetName);
    if (err == 0) return {};
    if (err == EEXIST) {
        noteNameTaken(true);
        keepModeOfTarget();
    }
    const auto folder = folderOf(m_target);
    for (int attempt = 0; err == EEXIST && attempt < 100; ++attempt) {
        const std::string name = ".velquor-" + randomSuffix();
        const std::string tempName = m_folderFd == AT_FDCWD ? (folder / name).string() : name;
        err = linkUnnamedAs(tempName);
        if (err == EEXIST) continue;
        if (err != 0) break;
        if (::renameat(m_folderFd, tempName.c_str(), m_folderFd, m_targetName.c_str()) == 0) {
            return {};
        }
        err = errno;
        ::unlinkat(m_folderFd, tempName.c_str(), 0);
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot replace %1: %2"), m_target,
                          err);
    }
    return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"), m_target, err);
}

AtomicOutputFile::AtomicOutputFile(AtomicOutputFile&& other) noexcept
    : m_target(std::move(other.m_target)),
      m_tempPath(std::move(other.m_tempPath)),
      m_folderFd(other.m_folderFd),
      m_targetName(std::move(other.m_targetName)),
      m_tempName(std::move(other.m_tempName)),
      m_folder(other.m_folder),
      m_fd(std::exchange(other.m_fd, -1)),
      m_durability(other.m_durability),
      m_stream(other.m_stream),
      m_unnamed(other.m_unnamed),
      m_committed(std::exchange(other.m_committed, true)) {
    other.m_tempPath.clear();
}

AtomicOutputFile& AtomicOutputFile::operator=(AtomicOutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        m_target = std::move(other.m_target);
        m_tempPath = std::move(other.m_tempPath);
        m_folderFd = other.m_folderFd;
        m_targetName = std::move(other.m_targetName);
        m_tempName = std::move(other.m_tempName);
        m_folder = other.m_folder;
        m_fd = std::exchange(other.m_fd, -1);
        m_durability = other.m_durability;
        m_stream = other.m_stream;
        m_unnamed = other.m_unnamed;
        m_committed = std::exchange(other.m_committed, true);
        other.m_tempPath.clear();
    }
    return *this;
}

AtomicOutputFile::~AtomicOutputFile() {
    discard();
}

void AtomicOutputFile::closeFd() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void AtomicOutputFile::discard() {
    closeFd();
    if (!m_committed && !m_tempPath.empty()) {
        ::unlinkat(m_folderFd, m_tempName.c_str(), 0);
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
            return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"),
                              m_target, errno);
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

Status AtomicOutputFile::commit() {
    if (m_fd < 0 || m_committed)
        return makeError(ErrorCode::Internal, "commit of a closed output file");
    if (m_stream) return closeStream();
    if (m_durability == Durability::Sync && ::fsync(m_fd) != 0) {
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"), m_target,
                          errno);
    }
    if (m_unnamed) {
        if (auto linked = linkUnnamed(); !linked) return linked;
    }
    // close() can report a deferred write error (NFS, quotas): check it. A file linked in
    // already is taken away again, the name it took having been free.
    const int rc = ::close(m_fd);
    const int err = errno;
    m_fd = -1;
    if (rc != 0 && m_unnamed) ::unlinkat(m_folderFd, m_targetName.c_str(), 0);
    if (rc != 0)
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"), m_target,
                          err);
    if (!m_unnamed &&
        ::renameat(m_folderFd, m_tempName.c_str(), m_folderFd, m_targetName.c_str()) != 0) {
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot replace %1: %2"), m_target,
                          errno);
    }
    m_committed = true;
    m_tempPath.clear();
    if (m_durability == Durability::Sync) return fsyncFolder(folderOf(m_target));
    return {};
}

// A stream has nothing to rename and nothing to make durable: fsync() of a pipe or terminal
// fails with EINVAL, and what its reader got is already out of our hands.
Status AtomicOutputFile::closeStream() {
    const int rc = ::close(m_fd);
    const int err = errno;
    m_fd = -1;
    m_committed = true;
    if (rc != 0 && err != EINTR) {
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot write %1: %2"), m_target,
                          err);
    }
    return {};
}

namespace {

Status writeAndCommit(Result<AtomicOutputFile> file, std::span<const std::byte> bytes) {
    if (!file) return file.error();
    if (auto written = file->write(bytes); !written) return written;
    return file->commit();
}

}  // namespace

Status writeFileAtomically(const fs::path& target, std::span<const std::byte> bytes,
                           const OutputOptions& options) {
    return writeAndCommit(AtomicOutputFile::create(target, options), bytes);
}

Status writeFileAtomically(const OutputFolder& folder, const std::string& name,
                           std::span<const std::byte> bytes, Durability durability) {
    return writeAndCommit(AtomicOutputFile::createIn(folder, name, durability), bytes);
}

Status syncFileSystemOf(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot open %1: %2"), path,
                          errno);
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        return errnoError(ErrorCode::Io, VELQUOR_TR_NOOP("core", "cannot sync %1: %2"), path, err);
    return {};
}

void ignoreFileSizeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

}  // namespace velquor::support
