// The MD5SUMS file a generation run leaves beside its device files, and another in "en" for
// the encrypted copies: one "digest  name" line per file the run wrote, as md5sum -c reads
// them, so that whoever uploads the folder, and the phones' server, can tell a file that
// changed on the way. A folder's list is its own as much as the run's (the sums of its
// firmware, an earlier batch's files): a run replaces the lines of the files it wrote and
// keeps every other line, but one whose file is gone from the folder.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/result.h"

namespace velquor::generator {

inline constexpr std::string_view kCheckSumsFileName = "MD5SUMS";

// A digest as a list line gives it: 32 lower-case hex digits, held in place, so that a run's
// writers take one per file without allocating.
using CheckSum = std::array<char, 32>;

CheckSum checkSumOf(std::span<const std::byte> bytes);

// What a run will do to folder/MD5SUMS, looked at before it: the lines of other files kept,
// and those whose file is gone (to be dropped). Nothing when there is no list.
struct CheckSumsListLook {
    bool exists = false;
    std::size_t kept = 0;     // lines of files that are there
    std::size_t dropped = 0;  // lines whose file is gone
};
// names: the files the run will write into folder; their lines are neither kept nor dropped.
CheckSumsListLook lookAtCheckSums(const std::filesystem::path& folder,
                                  const std::vector<std::string>& names);
// The digests of several files' bytes, sums[i] of files[i]: taken side by side where the
// processor can, which is most of their cost for many small files.
void checkSumsOf(std::span<const std::span<const std::byte>> files, CheckSum* sums);

class CheckSums {
public:
    // Digests the bytes written under name (a file of the folder the list is for).
    void add(const std::string& name, std::span<const std::byte> bytes) {
        addDigest(name, checkSumOf(bytes));
    }
    // The same with the digest already taken (checkSumOf).
    void addDigest(std::string name, const CheckSum& digest);
    bool empty() const { return m_lines.empty(); }
    std::size_t size() const { return m_lines.size(); }

    // The lines sorted by name, each "32 hex digits, two spaces, the name, a line feed".
    std::string text() const;
    // Writes folder/MD5SUMS atomically: the lines of the list already there kept in their
    // order (a line of a file this run wrote taking its new digest), those whose file is gone
    // dropped, this run's other lines after them. Returns how many lines were dropped. A list
    // that is no regular file (a link, a device) or cannot be read is left as it is: an error.
    support::Result<std::size_t> writeInto(const std::filesystem::path& folder) const;

private:
    std::vector<std::pair<std::string, CheckSum>> m_lines;  // name, digest
};

}  // namespace velquor::generator
