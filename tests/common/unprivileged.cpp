// See unprivileged.h.
#include "unprivileged.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace velquor::testing {

namespace {

constexpr uid_t kUnprivilegedId = 65534;
// The child's exit status when it could not become the unprivileged user.
constexpr int kCannotSwitch = 77;

bool becomeUnprivileged() {
    return ::setgroups(0, nullptr) == 0 && ::setgid(kUnprivilegedId) == 0 &&
           ::setuid(kUnprivilegedId) == 0 && ::geteuid() == kUnprivilegedId;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::optional<std::string> runUnprivileged(const std::function<std::string()>& check) {
    if (::geteuid() != 0) return check();
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(pipeFds[0]);
        if (!becomeUnprivileged()) ::_exit(kCannotSwitch);
        writeAll(pipeFds[1], check());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string failure = readAll(pipeFds[0]);
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotSwitch) return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        failure += " (the unprivileged check ended abnormally)";
    }
    return failure;
}

void handOverToUnprivileged(const std::filesystem::path& path) {
    if (::geteuid() != 0) return;
    if (::chown(path.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
        throw std::runtime_error("cannot hand " + path.string() + " over");
    }
}

}  // namespace velquor::testing
