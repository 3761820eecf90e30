// Same-file test and bounded whole-file read; see file_identity.h.
#include "support/file_identity.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "support/input_file.h"

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

Error sameFileError(const std::string& input, const std::string& output) {
    //: %1 is the output file, %2 the input file
    return makeError(ErrorCode::SameFile,
                     Phrase{VELQUOR_TR_NOOP("core",
                                            "the output file %1 is the input file %2 "
                                            "itself; choose another output file"),
                            {output, input}});
}

Error tooLargeToRead(const fs::path& path, std::uint64_t maxBytes) {
    //: %1 is the file, %2 a number of bytes
    return makeError(ErrorCode::TooLarge,
                     Phrase{VELQUOR_TR_NOOP("core", "cannot read %1: larger than %2 bytes"),
                            {path.string(), std::to_string(maxBytes)}});
}

Status refuseSameFile(const fs::path& input, const fs::path& output) {
    if (isSameFile(input, output)) {
        return sameFileError(input.string(), output.string());
    }
    return {};
}

void adviseHugePages(void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) {
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}

Result<std::string> readWholeFile(const fs::path& path, std::uint64_t maxBytes) {
    auto file = InputFile::open(path.string());
    if (!file) return file.error();
    if (file->sizeForProgress() > maxBytes) return tooLargeToRead(path, maxBytes);
    std::string content;
    // The size claimed and one byte more, which the read that finds the end asks for: a file
    // that keeps its size is read without the buffer moving.
    content.reserve(static_cast<std::size_t>(file->sizeForProgress()) + 1);
    adviseHugePages(content.data(), content.capacity());
    // One byte past the bound tells a file at the bound from one over it, whatever the size
    // claimed when it was opened (a file that grows, a device, a pipe).
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    for (;;) {
        const std::size_t before = content.size();
        const std::size_t spare = content.capacity() - before;
        const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(
            std::min(kChunk, spare > 0 ? spare : kChunk), maxBytes - before + 1));
        content.resize(before + room);
        auto got = file->readFully(content.data() + before, room);
        if (!got) return got.error();
        content.resize(before + *got);
        if (content.size() > maxBytes) return tooLargeToRead(path, maxBytes);
        if (*got < room) return content;
    }
}

}  // namespace velquor::support
