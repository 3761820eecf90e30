// Same-file test and bounded whole-file read; see file_identity.h.
#include "support/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

Status refuseSameFile(const fs::path& input, const fs::path& output) {
    if (isSameFile(input, output)) {
        return makeError(ErrorCode::SameFile, "the output file " + output.string() +
                                                  " is the input file " + input.string() +
                                                  " itself; choose another output file");
    }
    return {};
}

Result<std::string> readWholeFile(const fs::path& path, std::uint64_t maxBytes) {
    auto file = InputFile::open(path.string());
    if (!file) return file.error();
    const auto tooLarge = [&] {
        return makeError(ErrorCode::TooLarge, "cannot read " + path.string() + ": larger than " +
                                                  std::to_string(maxBytes) + " bytes");
    };
    if (file->sizeForProgress() > maxBytes) return tooLarge();
    std::string content;
    content.reserve(static_cast<std::size_t>(file->sizeForProgress()));
    // One byte past the bound tells a file at the bound from one over it, whatever the size
    // claimed when it was opened (a file that grows, a device, a pipe).
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    for (;;) {
        const std::size_t before = content.size();
        const auto room =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, maxBytes - before + 1));
        content.resize(before + room);
        auto got = file->readFully(content.data() + before, room);
        if (!got) return got.error();
        content.resize(before + *got);
        if (content.size() > maxBytes) return tooLarge();
        if (*got < room) return content;
    }
}

}  // namespace velquor::support
