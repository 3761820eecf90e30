// Reading secrets without the command line; see secret_input.h.
#include "cli/secret_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "cli/cli_support.h"
#include "support/input_file.h"

namespace velquor::cli {

namespace {

using support::ErrorCode;
using support::makeError;

// A secret is one short line; anything longer is not the file the user meant to name.
constexpr std::size_t kMaxSecretLine = 4096;

std::string withoutLineEnd(std::string line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Reads up to the first line end, one byte at a time so that nothing after the line is taken
// from a shared standard input; stops waiting when Ctrl-C arrives. Nothing at all when the input
// ended before its first byte.
support::Result<std::optional<std::string>> readLine(int fd, const std::string& name,
                                                     std::string_view what) {
    const std::stop_token stop = interruptToken();
    std::string line;
    bool anything = false;
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        if (stop.stop_requested()) return makeError(ErrorCode::Cancelled, "interrupted");
        const int ready = ::poll(&watched, 1, 50);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return support::fileError("read", name, errno);
        if (got == 0) break;
        anything = true;
        if (c == '\n') break;
        if (line.size() == kMaxSecretLine) {
            return makeError(ErrorCode::InvalidInput,
                             "the " + std::string(what) + " in " + name + " is longer than " +
                                 std::to_string(kMaxSecretLine) + " bytes: is it the right file?");
        }
        line.push_back(c);
    }
    if (!anything) return std::optional<std::string>();
    return std::optional(withoutLineEnd(std::move(line)));
}

// Puts the terminal's echo back however the prompt ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : m_fd(fd), m_saved(::tcgetattr(fd, &m_attributes) == 0) {
        if (!m_saved) return;
        termios silent = m_attributes;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &silent);
    }
    ~EchoOff() {
        if (m_saved) ::tcsetattr(m_fd, TCSAFLUSH, &m_attributes);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int m_fd;
    termios m_attributes{};
    bool m_saved;
};

}  // namespace

support::Result<std::string> readSecretFile(const std::string& path, std::string_view what) {
    if (path == "-") {
        auto line = readLine(STDIN_FILENO, "standard input", what);
        if (!line) return line.error();
        // Several secrets may share standard input: one missing is a mistake, not an empty one.
        if (!*line) {
            return makeError(ErrorCode::InvalidInput,
                             std::string(what) + " expected on standard input, found none");
        }
        return std::move(**line);
    }
    auto file = support::InputFile::open(path);
    if (!file) return file.error();
    auto line = readLine(file->fd(), path, what);
    if (!line) return line.error();
    return line->value_or(std::string());
}

RereadableSecret::RereadableSecret(std::string path) : m_path(std::move(path)) {
    struct stat status {};
    if (m_path != "-") {
        m_possible = ::stat(m_path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
        return;
    }
    if (::fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return;
    m_offset = ::lseek(STDIN_FILENO, 0, SEEK_CUR);
    m_possible = m_offset >= 0;
}

support::Result<std::string> RereadableSecret::readAgain(std::string_view what) const {
    if (!m_possible) {
        return makeError(ErrorCode::Unsupported,
                         "the " + std::string(what) + " cannot be read again from " +
                             (m_path == "-" ? std::string("standard input") : m_path));
    }
    if (m_path == "-" && ::lseek(STDIN_FILENO, m_offset, SEEK_SET) < 0) {
        return support::fileError("seek", "standard input", errno);
    }
    return readSecretFile(m_path, what);
}

support::Result<std::string> readSecretEnvironment(const std::string& name, std::string_view what) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return makeError(
            ErrorCode::InvalidInput,
            "the environment variable " + name + " (for the " + std::string(what) + ") is not set");
    }
    return std::string(value);
}

support::Result<std::string> askSecret(std::string_view prompt) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return makeError(ErrorCode::Unsupported, "no terminal to ask on");
    support::Result<std::optional<std::string>> line = std::optional<std::string>();
    {
        const EchoOff echoOff(fd);
        [[maybe_unused]] auto shown = ::write(fd, prompt.data(), prompt.size());
        line = readLine(fd, "the terminal", "answer");
        [[maybe_unused]] auto ended = ::write(fd, "\n", 1);
    }
    ::close(fd);
    if (!line) return line.error();
    return line->value_or(std::string());
}

}  // namespace velquor::cli
