// A temporary folder for a test, removed with everything in it when the test ends,
// and small helpers to write and read whole files there.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velquor::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(std::string_view name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

void writeFile(const std::filesystem::path& path, std::string_view content);
std::string readFile(const std::filesystem::path& path);
// Runs a shell command and returns its standard output; the exit status goes to *status.
std::string runCommand(const std::string& command, int* status = nullptr);
// Quotes a text for a POSIX shell.
std::string shellQuote(std::string_view text);

// What a program printed (standard output and error together) and its exit status.
struct ProgramRun {
    std::string output;
    int status = -1;
};
// Runs program with the given (shell-quoted) arguments and no standard input.
ProgramRun runProgram(const std::string& program, const std::string& arguments);

}  // namespace velquor::testing
