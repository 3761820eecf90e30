// The run's MD5SUMS files; see check_sums.h.
#include "generator/outputs/check_sums.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "digest/md5_lanes.h"
#include "support/atomic_file.h"
#include "support/file_identity.h"
#include "support/hex.h"
#include "support/translatable.h"

namespace velquor::generator {

CheckSum checkSumOf(std::span<const std::byte> bytes) {
    CheckSum sum;
    checkSumsOf({&bytes, 1}, &sum);
    return sum;
}

void checkSumsOf(std::span<const std::span<const std::byte>> files, CheckSum* sums) {
    static_assert(std::tuple_size_v<CheckSum> == 2 * std::tuple_size_v<digest::Md5Digest>);
    const std::vector<digest::Md5Digest> digests = digest::md5OfEach(files);
    for (std::size_t i = 0; i < digests.size(); ++i) {
        support::hexEncodeInto(
            std::string_view(reinterpret_cast<const char*>(digests[i].data()), digests[i].size()),
            sums[i].data());
    }
}

void CheckSums::addDigest(std::string name, const CheckSum& digest) {
    m_lines.emplace_back(std::move(name), digest);
}

std::string CheckSums::text() const {
    std::vector<const std::pair<std::string, CheckSum>*> sorted;
    sorted.reserve(m_lines.size());
    for (const auto& line : m_lines) sorted.push_back(&line);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string text;
    text.reserve(m_lines.size() * 64);
    for (const auto* line : sorted) {
        text.append(line->second.data(), line->second.size());
        text += "  ";
        text += line->first;
        text += '\n';
    }
    return text;
}

namespace {

// A list of a million files is some 60 MB; past this bound a file is no list of ours.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{1} << 30;

// The name a list line gives, as md5sum writes it: "digest  name" or "digest *name", and a
// leading backslash when the name holds a backslash or a line feed, written as \\ and \n.
// Nothing for a line of another shape (kept as it is, never dropped).
std::optional<std::string> nameOfLine(std::string_view line) {
    const bool escaped = line.starts_with('\\');
    if (escaped) line.remove_prefix(1);
    if (line.size() < 35 || line[32] != ' ' || (line[33] != ' ' && line[33] != '*')) {
        return std::nullopt;
    }
    for (char c : line.substr(0, 32)) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    std::string name(line.substr(34));
    if (!escaped) return name;
    std::string plain;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) {
            plain += name[++i] == 'n' ? '\n' : name[i];
        } else {
            plain += name[i];
        }
    }
    return plain;
}

bool isThere(const std::filesystem::path& folder, const std::string& name) {
    struct stat info {};
    return ::lstat((folder / name).c_str(), &info) == 0;
}

support::Error unusableList(const std::filesystem::path& list, const char* why) {
    //: %1 is the MD5SUMS file, %2 why it was left alone
    return support::makeError(support::ErrorCode::InvalidInput,
                              support::Phrase{VELQUOR_TR_NOOP("core", "%1 was left as it is: %2"),
                                              {list.string(), why},
                                              support::markedArgument(2)});
}

// The list already in folder, as lines without their line feeds; nothing when there is none.
support::Result<std::vector<std::string>> listLines(const std::filesystem::path& folder) {
    const std::filesystem::path list = folder / kCheckSumsFileName;
    struct stat info {};
    if (::lstat(list.c_str(), &info) != 0) return std::vector<std::string>{};
    if (!S_ISREG(info.st_mode)) {
        return unusableList(list, VELQUOR_TR_NOOP("core", "it is not a regular file"));
    }
    auto text = support::readWholeFile(list, kMaxListBytes);
    if (!text) return text.error();
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text->size()) {
        std::size_t end = text->find('\n', from);
        if (end == std::string::npos) end = text->size();
        lines.emplace_back(*text, from, end - from);
        from = end + 1;
    }
    return lines;
}

}  // namespace

CheckSumsListLook lookAtCheckSums(const std::filesystem::path& folder,
                                  const std::vector<std::string>& names) {
    CheckSumsListLook look;
    auto lines = listLines(folder);
    if (!lines || !isThere(folder, std::string(kCheckSumsFileName))) return look;
    look.exists = true;
    const std::set<std::string_view> written(names.begin(), names.end());
    for (const std::string& line : *lines) {
        const auto name = nameOfLine(line);
        if (name && written.contains(*name)) continue;
        if (name && !isThere(folder, *name)) {
            ++look.dropped;
        } else if (!line.empty()) {
            ++look.kept;
        }
    }
    return look;
}

support::Result<std::size_t> CheckSums::writeInto(const std::filesystem::path& folder) const {
    auto lines = listLines(folder);
    if (!lines) return lines.error();
    std::map<std::string_view, const CheckSum*> ours;
    for (const auto& [name, digest] : m_lines) ours[name] = &digest;
    std::string list;
    std::size_t dropped = 0;
    const auto append = [&list](const CheckSum& digest, std::string_view name) {
        list.append(digest.data(), digest.size());
        list += "  ";
        list += name;
        list += '\n';
    };
    for (const std::string& line : *lines) {
        const auto name = nameOfLine(line);
        if (const auto own = name ? ours.find(*name) : ours.end(); own != ours.end()) {
            if (own->second != nullptr) append(*own->second, own->first);
            own->second = nullptr;  // written in its old place
        } else if (name && !isThere(folder, *name)) {
            ++dropped;
        } else if (!line.empty()) {
            list += line;
            list += '\n';
        }
    }
    for (const auto& [name, digest] : ours) {
        if (digest != nullptr) append(*digest, name);
    }
    const auto written = support::writeFileAtomically(
        folder / kCheckSumsFileName, std::as_bytes(std::span(list.data(), list.size())),
        support::Durability::Deferred);
    if (!written) return written.error();
    return dropped;
}

}  // namespace velquor::generator
