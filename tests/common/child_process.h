// ChildProcess: a program run by a test the way a shell or service manager runs it, so that
// the test can signal it and read its real exit status. Output goes to a file the test reads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velquor::testing {

class ChildProcess {
public:
    // Starts arguments[0] (a path) with the rest as its arguments; standard input is
    // /dev/null, standard output and error both go to outputFile. Throws if it cannot start.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::filesystem::path& outputFile);
    // Kills (SIGKILL) and reaps a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // Waits until the child has a handler installed for the signal (so that sending it tests
    // the program's handling, not the default action); false if it exited or never did.
    bool waitUntilHandling(int signal, std::chrono::milliseconds limit);
    // Waits until the child has read at least this many bytes through read(2) and friends.
    bool waitUntilRead(std::uint64_t bytes, std::chrono::milliseconds limit);
    // True while the child holds that file open (its input, while it reads it).
    bool hasOpen(const std::filesystem::path& file) const;

    void sendSignal(int signal) const;

    // The exit status once the child has exited; nullopt if it is still running after the
    // limit (it is then killed) or was ended by a signal.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

private:
    // A field of /proc/<pid>/<file> ("SigCgt", "rchar"), as text; empty when unreadable.
    std::string procField(const char* file, const std::string& field) const;

    pid_t m_pid = -1;
};

}  // namespace velquor::testing
