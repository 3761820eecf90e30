// InputFile: a file opened to be read once, front to back, in large chunks. It owns its
// descriptor, fills whole buffers where the file has the bytes, and words every failure the
// same way: "cannot open 'path': reason" or "cannot read 'path': reason".
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

#include "support/result.h"

namespace velquor::support {

class InputFile {
public:
    // Opens path for reading. A folder is refused here ("Is a directory"), since open()
    // accepts one and only the first read would fail. Errors: NotFound when the path or a
    // folder on it does not exist, Io otherwise; InvalidInput for an empty path.
    static Result<InputFile> open(const std::string& path);
    // This process's standard input, named "standard input" in messages. Works where
    // /dev/stdin cannot be opened again (a socket).
    static Result<InputFile> standardInput();

    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Reads until size bytes are in buffer or the file ends; returns the count read, which
    // is less than size only at the end of the file or when stop was requested while a pipe,
    // socket or terminal had nothing to give (a silent pipe must not outlast a Cancel): the
    // caller looks at stop to tell the two apart.
    Result<std::size_t> readFully(void* buffer, std::size_t size, const std::stop_token& stop = {});

    // The size of a regular file, for progress; 0 for a pipe or device, whose size is unknown.
    std::uint64_t sizeForProgress() const { return m_size; }
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

private:
    InputFile(int fd, std::string path, std::uint64_t size, bool regular)
        : m_fd(fd), m_path(std::move(path)), m_size(size), m_regular(regular) {}
    // Takes fd over (closing it on failure) once it is known not to be a folder.
    static Result<InputFile> adopt(int fd, const std::string& path);
    void close();

    int m_fd = -1;
    std::string m_path;
    std::uint64_t m_size = 0;
    bool m_regular = false;  // a regular file never blocks a read
};

// The one wording of a failed file operation: "cannot <action> '<path>': <strerror(err)>",
// with NotFound for a missing path and Io for everything else.
Error fileError(std::string_view action, const std::string& path, int err);

}  // namespace velquor::support
