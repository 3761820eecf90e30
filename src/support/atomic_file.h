// AtomicOutputFile: an output written to a temporary file beside its target and put in place
// whole, so the target is either the complete new file or the old one untouched. A name that
// is free gets an unnamed file in the folder (O_TMPFILE) linked in at the end, so the name
// appears only with the whole file; a name that exists (or a file system without unnamed
// files) gets a temporary created with O_CREAT|O_EXCL|O_NOFOLLOW under a short name of its
// own, so a target name of any legal length works, renamed over it. A symbolic link to a
// regular file is replaced, never written through. A name the user gave that leads to a stream
// (a terminal, /dev/null, a pipe's reader, standard output) is written straight through or
// refused, never replaced (see StreamTarget).
#pragma once

#include <fcntl.h>

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <span>
#include <stop_token>
#include <string>

#include "support/result.h"

namespace velquor::support {

enum class Durability {
    // fsync the file before the rename and the folder after it: the single-file case.
    Sync,
    // rename without fsync; a bulk run makes the whole batch durable once at the end
    // with syncFileSystemOf().
    Deferred,
};

// What a name the user gave (an output option, a report, a table) does when it leads to
// something that is not a regular file. Such a node is never replaced: putting a new file in
// place of /dev/null or of a FIFO would destroy what every other program relies on, or leave a
// pipe's reader with nothing. A name that leads nowhere, to a regular file or to a link to one
// takes the temporary file and is replaced whole. A name derived from data (a file in an output
// folder, createIn) is not the user's choice and is always replaced, never followed.
enum class StreamTarget {
    // A character device, FIFO or socket, or the file this process has open as its standard
    // output or error (/dev/stdout), gets the bytes straight, without a temporary file. A
    // block device is refused.
    WriteThrough,
    // Any node that is not a regular file (or a folder, whose replacing fails on its own) is
    // refused with what it is: for a file that must be read back, such as a key or settings.
    Refuse,
};

struct OutputOptions {
    Durability durability = Durability::Sync;
    StreamTarget streams = StreamTarget::WriteThrough;
    // Opening a FIFO waits for its reader, as a shell redirection does; a stop request ends
    // that wait with Cancelled.
    std::stop_token stop;
};

// A folder that many outputs are written into, held open: each file's look-up, temporary and
// rename then go by its name within the folder instead of walking the whole path again. Where
// the folder cannot be opened the outputs go by their paths, as without it. It must outlive
// the files written into it.
//
// A bulk run into a new folder finds every name free, and a run again into the same folder
// finds every name taken: the folder remembers which the last file found, and the next starts
// as that one ended (an unnamed file linked in without a look first, or a look at the target
// first). Either way the outcome is the same; only the number of system calls differs.
class OutputFolder {
public:
    explicit OutputFolder(std::filesystem::path folder);
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    ~OutputFolder();

    const std::filesystem::path& path() const { return m_path; }

private:
    friend class AtomicOutputFile;
    std::filesystem::path m_path;
    int m_fd;  // AT_FDCWD when the folder could not be opened
    // Whether the last file written here found its name taken; any thread may write into the
    // folder, and a stale answer costs a system call, never a wrong file.
    mutable std::atomic<bool> m_namesTaken{false};
};

class AtomicOutputFile {
public:
    // Creates the temporary file in target's folder (or opens the stream, see StreamTarget).
    // Fails if that folder does not exist or cannot be written.
    static Result<AtomicOutputFile> create(const std::filesystem::path& target,
                                           const OutputOptions& options);
    static Result<AtomicOutputFile> create(const std::filesystem::path& target,
                                           Durability durability = Durability::Sync) {
        OutputOptions options;
        options.durability = durability;
        return create(target, options);
    }
    // The file name in folder (a name, no path), Durability deferred or not: a name derived
    // from data, whatever is there (a link, a device node) replaced and never followed.
    static Result<AtomicOutputFile> createIn(const OutputFolder& folder, const std::string& name,
                                             Durability durability);
    // This process's standard output, written straight through; named "standard output".
    static Result<AtomicOutputFile> standardOutput();

    AtomicOutputFile(AtomicOutputFile&& other) noexcept;
    AtomicOutputFile& operator=(AtomicOutputFile&& other) noexcept;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;
    // Removes the temporary file unless commit() succeeded.
    ~AtomicOutputFile();

    // Writes all bytes (retrying short writes and EINTR).
    Status write(const void* data, std::size_t size);
    Status write(std::span<const std::byte> bytes) { return write(bytes.data(), bytes.size()); }

    // Flushes, puts the file in place (links it in, or renames it over the target) and (with
    // Durability::Sync) makes it durable. A
    // stream is only closed, and any error the close reports is returned.
    Status commit();
    // Drops the temporary file; the target is left as it was. What already went into a
    // stream cannot be taken back.
    void discard();

    const std::filesystem::path& target() const { return m_target; }
    // Empty while writing straight into a stream or into an unnamed file.
    const std::filesystem::path& temporaryPath() const { return m_tempPath; }
    bool isStream() const { return m_stream; }
    int fd() const { return m_fd; }

private:
    AtomicOutputFile() = default;
    void closeFd();
    // lookFirst: look at the target before trying an unnamed file (a path given alone, or a
    // folder whose names were lately taken).
    Status openTemporary(bool lookFirst);
    bool openUnnamed();
    void noteNameTaken(bool taken) const;
    void keepModeOfTarget() const;
    Status openNamedTemporary(mode_t mode);
    int linkUnnamedAs(const std::string& name) const;
    Status linkUnnamed();
    Status closeStream();

    std::filesystem::path m_target;
    std::filesystem::path m_tempPath;
    // The system calls name the target and the temporary relative to m_folderFd: by their
    // whole paths (AT_FDCWD), or by their names in a held-open folder.
    int m_folderFd = AT_FDCWD;
    std::string m_targetName;
    std::string m_tempName;
    const OutputFolder* m_folder = nullptr;  // told whether the name was taken, when there is one
    int m_fd = -1;
    Durability m_durability = Durability::Sync;
    bool m_stream = false;
    bool m_unnamed = false;  // an O_TMPFILE file, linked in at commit()
    bool m_committed = false;
};

// Writes bytes to target through an AtomicOutputFile.
Status writeFileAtomically(const std::filesystem::path& target, std::span<const std::byte> bytes,
                           const OutputOptions& options);
// The same for the file name in folder.
Status writeFileAtomically(const OutputFolder& folder, const std::string& name,
                           std::span<const std::byte> bytes, Durability durability);
inline Status writeFileAtomically(const std::filesystem::path& target,
                                  std::span<const std::byte> bytes,
                                  Durability durability = Durability::Sync) {
    OutputOptions options;
    options.durability = durability;
    return writeFileAtomically(target, bytes, options);
}

// Flushes the file system that holds path (syncfs): the end of a bulk run of Deferred writes.
Status syncFileSystemOf(const std::filesystem::path& path);

// A message such as "cannot write /x/y: Permission denied" for the current errno.
std::string describeErrno(std::string_view action, const std::filesystem::path& path, int err);
// The same as an error the window words: pattern is a marked text such as
// "cannot write %1: %2", %1 the path and %2 the system's reason for err.
Error errnoError(ErrorCode code, const char* pattern, const std::filesystem::path& path, int err);

// Makes a write past the file-size limit (ulimit -f) fail with EFBIG, "File too large", which
// the writer reports and cleans up after, instead of the signal that ends the process with
// the temporary file left behind. Every program's main calls it once at start.
void ignoreFileSizeSignal();

}  // namespace velquor::support
