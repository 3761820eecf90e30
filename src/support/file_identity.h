// Same-file test by device and inode, and a bounded whole-file read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "support/result.h"

namespace velquor::support {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of what path names, following symbolic links; nullopt if it does not exist.
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);
// The identity of an open file descriptor.
std::optional<FileIdentity> identityOf(int fd);

// True when both paths name one existing file: ./x, sub/../x, a symbolic link and a hard
// link to x all name x.
bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// "the output file <output> is the input file <input> itself; choose another output file".
Error sameFileError(const std::string& input, const std::string& output);

// "cannot read <path>: larger than <maxBytes> bytes".
Error tooLargeToRead(const std::filesystem::path& path, std::uint64_t maxBytes);

// Refuses output == input with a message naming both; OK when output does not exist yet.
Status refuseSameFile(const std::filesystem::path& input, const std::filesystem::path& output);

// Reads a whole regular file, refusing one larger than maxBytes (checked before and while
// reading, so a growing file or a device cannot make it allocate without bound).
Result<std::string> readWholeFile(const std::filesystem::path& path, std::uint64_t maxBytes);

// Asks the system to back the whole 2 MiB pages inside a buffer not yet written with huge
// pages: a buffer of tens of megabytes (a whole file, the cells parsed from it) then costs a
// page fault per 2 MiB instead of per 4 KiB, which on a virtual machine is much of its time.
// Only advice: without it, or for a small buffer, nothing changes.
void adviseHugePages(void* data, std::size_t bytes);

}  // namespace velquor::support
