// The sum-file side of `velquor-cli digest`, as md5sum and its siblings define it: the
// algorithms by name and by digest length, the "DIGEST  NAME" and "TAG (NAME) = DIGEST" lines
// with their escaped names, and the verification of sum files (--check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest/digest_engine.h"

namespace velquor::cli {

struct AlgorithmChoice {
    const char* name;  // as -a takes it, in any case; its upper case is the tag of a tagged line
    std::int32_t number;
    std::int32_t sha2Size;
    digest::GostParameterSet gost;
    std::size_t digestBytes;
};

// nullptr when name (in any case) names no algorithm.
const AlgorithmChoice* findAlgorithm(std::string_view name);
// "crc32, gost94, ...", for messages.
std::string algorithmNames();
// The tag of a tagged line: "MD5", "SHA256".
std::string algorithmTag(const AlgorithmChoice& algorithm);
digest::CDigestEngine makeEngine(const AlgorithmChoice& algorithm, std::int32_t format);

// "-" names standard input, as for the other sum tools.
std::string readablePath(const std::string& name);

// A name that would break the one-line-per-file format (a backslash, a line feed or a carriage
// return in it) is written escaped, and its line then starts with a backslash.
struct ShownName {
    std::string text;
    bool escaped = false;
};
ShownName showName(const std::string& name);
// The name in a verdict line of --check: escaped (backslashes and line feeds) only when it
// holds a line feed, as md5sum -c shows it.
ShownName showCheckedName(const std::string& name);

struct CheckOptions {
    // The algorithm -a chose; without one each line says its own (its tag or its length).
    const AlgorithmChoice* algorithm = nullptr;
    bool quiet = false;          // no "NAME: OK" lines
    bool statusOnly = false;     // nothing on standard output, no summary warnings
    bool ignoreMissing = false;  // a listed file that does not exist is no failure
    bool strict = false;         // an improperly formatted line fails the check
    bool warn = false;           // each improperly formatted line is named on stderr
};

// A sum file's line is at most a digest, a tag and an escaped path: a longer one means the
// file is not a sum file (/dev/zero, a disk image), which is said at once instead of after
// reading it whole.
inline constexpr std::size_t kMaxSumLineBytes = 32 * 1024;

// Verifies every line of each sum file ("-" is standard input) and prints the verdicts the
// way md5sum -c does. Returns the exit status: 0 when every listed file matched, 1 when one
// did not, could not be read, or a sum file had no usable line (or an improperly formatted one
// under strict), 130 when interrupted.
int checkSumFiles(const std::vector<std::string>& sumFiles, const CheckOptions& options);

}  // namespace velquor::cli
