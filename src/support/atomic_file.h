// AtomicOutputFile: an output written to a temporary file beside its target and renamed
// into place, so the target is either the complete new file or the old one untouched.
// The temporary is created with O_CREAT|O_EXCL|O_NOFOLLOW; a symbolic link at the target is
// replaced by the rename, never written through.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
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

class AtomicOutputFile {
public:
    // Creates the temporary file in target's folder. Fails if that folder does not exist
    // or cannot be written.
    static Result<AtomicOutputFile> create(const std::filesystem::path& target,
                                           Durability durability = Durability::Sync);

    AtomicOutputFile(AtomicOutputFile&& other) noexcept;
    AtomicOutputFile& operator=(AtomicOutputFile&& other) noexcept;
    AtomicOutputFile(const AtomicOutputFile&) = delete;
    AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;
    // Removes the temporary file unless commit() succeeded.
    ~AtomicOutputFile();

    // Writes all bytes (retrying short writes and EINTR).
    Status write(const void* data, std::size_t size);
    Status write(std::span<const std::byte> bytes) { return write(bytes.data(), bytes.size()); }

    // Flushes, renames over the target and (with Durability::Sync) makes it durable.
    Status commit();
    // Drops the temporary file; the target is left as it was.
    void discard();

    const std::filesystem::path& target() const { return m_target; }
    const std::filesystem::path& temporaryPath() const { return m_tempPath; }
    int fd() const { return m_fd; }

private:
    AtomicOutputFile() = default;
    void closeFd();

    std::filesystem::path m_target;
    std::filesystem::path m_tempPath;
    int m_fd = -1;
    Durability m_durability = Durability::Sync;
    bool m_committed = false;
};

// Writes bytes to target through an AtomicOutputFile.
Status writeFileAtomically(const std::filesystem::path& target, std::span<const std::byte> bytes,
                           Durability durability = Durability::Sync);

// Flushes the file system that holds path (syncfs): the end of a bulk run of Deferred writes.
Status syncFileSystemOf(const std::filesystem::path& path);

// A message such as "cannot write /x/y: Permission denied" for the current errno.
std::string describeErrno(std::string_view action, const std::filesystem::path& path, int err);

}  // namespace velquor::support
