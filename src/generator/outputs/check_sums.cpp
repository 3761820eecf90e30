// The run's MD5SUMS files; see check_sums.h.
#include "generator/outputs/check_sums.h"

#include <algorithm>
#include <climits>

#include "digest/md5.h"
#include "support/atomic_file.h"
#include "support/hex.h"

namespace velquor::generator {

CheckSum checkSumOf(std::span<const std::byte> bytes) {
    digest::Md5State state{};
    state.start();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    while (left > 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::size_t>(left, UINT32_MAX));
        state.add(data, chunk);
        data += chunk;
        left -= chunk;
    }
    state.finish();
    static_assert(std::tuple_size_v<CheckSum> == 2 * digest::Md5State::kDigestSize);
    CheckSum sum;
    support::hexEncodeInto(std::string_view(reinterpret_cast<const char*>(state.digest),
                                            digest::Md5State::kDigestSize),
                           sum.data());
    return sum;
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
