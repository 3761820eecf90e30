// What tests ask of the programs they run besides their output: how much memory the largest
// of them held, and how one ends when Ctrl-C reaches it part-way through its work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velquor::testing {

// The peak resident memory, in bytes, of the largest child process this process has waited
// for (children of children included, once their parent waited for them).
std::uint64_t peakChildMemoryBytes();

class ChildProcess;

// Runs arguments[0] with the rest as its arguments (output to outputFile), sends SIGINT once
// it handles the signal and atWork says it is part-way through its work (its input open, a
// connection made), and returns its exit status; -1 when it was killed, never ended or never
// came to that point.
int exitStatusAfterInterrupt(const std::vector<std::string>& arguments,
                             const std::filesystem::path& outputFile,
                             const std::function<bool(const ChildProcess&)>& atWork);

// A shell fragment that waits until the program named program (its process name), which is
// the process $pidVariable or a child of it, catches SIGINT and SIGTERM: a signal sent after
// it reaches the program's own handler, however slowly the program starts. It gives up after
// 20 s, so a program that never handles them shows in the test's own checks.
std::string shellAwaitStopHandlers(const std::string& pidVariable, const std::string& program);

}  // namespace velquor::testing
