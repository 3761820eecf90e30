// A child process for tests; see child_process.h.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace velquor::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Polls a condition; the limit only keeps a broken program from hanging the suite.
template <typename Condition>
bool pollUntil(std::chrono::milliseconds limit, Condition condition) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::filesystem::path& outputFile) {
    const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) throw std::runtime_error("cannot open " + outputFile.string());
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (auto& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        // A test that dies must not leave its child behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        const int input = ::open("/dev/null", O_RDONLY);
        ::dup2(input, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(output);
}

ChildProcess::~ChildProcess() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}

std::string ChildProcess::procField(const char* file, const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
    }
    return {};
}

bool ChildProcess::hasOpen(const std::filesystem::path& file) const {
    std::error_code error;
    const std::filesystem::path wanted = std::filesystem::canonical(file, error);
    if (error) return false;
    const std::filesystem::path fds = "/proc/" + std::to_string(m_pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        if (std::filesystem::read_symlink(entry.path(), error) == wanted) return true;
    }
    return false;
}

bool ChildProcess::waitUntilHandling(int signal, std::chrono::milliseconds limit) {
    return pollUntil(limit, [&] {
        const std::string mask = procField("status", "SigCgt");
        if (mask.empty()) return false;
        const std::uint64_t caught = std::stoull(mask, nullptr, 16);
        return ((caught >> (signal - 1)) & 1u) != 0;
    });
}

bool ChildProcess::waitUntilRead(std::uint64_t bytes, std::chrono::milliseconds limit) {
    return pollUntil(limit, [&] {
        const std::string count = procField("io", "rchar");
        return !count.empty() && std::stoull(count) >= bytes;
    });
}

void ChildProcess::sendSignal(int signal) const {
    if (m_pid > 0) ::kill(m_pid, signal);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    int status = 0;
    const bool exited =
        pollUntil(limit, [&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; });
    if (!exited) return std::nullopt;  // the destructor kills and reaps it
    m_pid = -1;
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace velquor::testing
