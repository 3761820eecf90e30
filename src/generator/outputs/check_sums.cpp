// The run's MD5SUMS files; see check_sums.h.
#include "generator/outputs/check_sums.h"

#include <algorithm>

#include "digest/md5_lanes.h"
#include "support/atomic_file.h"
#include "support/hex.h"

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

support::Status CheckSums::writeInto(const std::filesystem::path& folder) const {
    const std::string list = text();
    return support::writeFileAtomically(folder / kCheckSumsFileName,
                                        std::as_bytes(std::span(list.data(), list.size())),
                                        support::Durability::Deferred);
}

}  // namespace velquor::generator
