// Files this program takes its settings or remembered state from, read so that neither a FIFO
// nor another user can steer it: opened without waiting (a FIFO, device or socket is refused
// with what it is, never read), and, when asked, used only if owned by this user or root and
// not writable by others, as ssh treats its own files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/result.h"

namespace velquor::support {

enum class FileTrust {
    AnyOwner,    // only a regular file is asked for
    OwnerOrRoot  // and one nobody else may have written: this user's or root's, not o+w
};

// "a FIFO", "a folder", "a character device", "a block device", "a socket", "a file".
std::string fileTypeName(mode_t mode);

// Why a file of this mode and owner may not be trusted, or empty when it may.
Phrase distrustPhrase(const std::filesystem::path& path, mode_t mode, uid_t owner);
// Its English.
std::string distrustReason(const std::filesystem::path& path, mode_t mode, uid_t owner);

// Reads a whole regular file of at most maxBytes. A missing file is NotFound; a file that is
// not regular is InvalidInput ("/x is a FIFO, not a file"); with OwnerOrRoot, one owned by
// another user or writable by others is Refused, naming the file, its owner or its mode.
Result<std::string> readTrustedFile(const std::filesystem::path& path, std::uint64_t maxBytes,
                                    FileTrust trust);

// The same check for a file another library opens by name (a CA bundle): opened without
// waiting, looked at, closed.
Status checkTrustedFile(const std::filesystem::path& path, FileTrust trust);

}  // namespace velquor::support
