// What tests ask of the programs they run besides their output: how much memory the largest
// of them held, and how one ends when Ctrl-C reaches it part-way through its work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velquor::testing {

// The peak resident memory, in bytes, of the largest child process this process has waited
// for (children of children included, once their parent waited for them).
std::uint64_t peakChildMemoryBytes();

// Runs arguments[0] with the rest as its arguments (output to outputFile), sends SIGINT once
// it handles the signal and has worked for a moment, and returns its exit status; -1 when it
// was killed or never ended.
int exitStatusAfterInterrupt(const std::vector<std::string>& arguments,
                             const std::filesystem::path& outputFile);

}  // namespace velquor::testing
