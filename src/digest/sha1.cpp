// SHA-1: the portable compression function, the SHA-extension one where the processor has
// it, and the byte-counting record around them.
#include "digest/sha1.h"

#include <bit>
#include <cstring>

#include "digest/acceleration_internal.h"
#include "digest/block_buffer.h"
#include "digest/byte_order.h"

namespace velquor::digest {

namespace {

template <int Round>
inline std::uint32_t mix(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    if constexpr (Round == 0) return d ^ (b & (c ^ d));
    if constexpr (Round == 2) return (b & c) | (d & (b | c));
    return b ^ c ^ d;
}

template <int Round>
constexpr std::uint32_t kRoundConstant = Round == 0   ? 0x5A827999u
                                         : Round == 1 ? 0x6ED9EBA1u
                                         : Round == 2 ? 0x8F1BBCDCu
                                                      : 0xCA62C1D6u;

// One step with the schedule word w already expanded; the caller rotates the names.
template <int Round>
inline void step(std::uint32_t a, std::uint32_t& b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t& e, std::uint32_t w) {
    e += std::rotl(a, 5) + mix<Round>(b, c, d) + kRoundConstant<Round> + w;
    b = std::rotl(b, 30);
}

// Steps t..t+4 of one round, with the schedule expanded in a 16-word ring.
template <int Round>
inline void fiveSteps(std::uint32_t* w, int t, std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                      std::uint32_t& d, std::uint32_t& e) {
    auto word = [w](int i) {
        if (i < 16) return w[i];
        const std::uint32_t next =
            std::rotl(w[(i - 3) & 15] ^ w[(i - 8) & 15] ^ w[(i - 14) & 15] ^ w[i & 15], 1);
        w[i & 15] = next;
        return next;
    };
    step<Round>(a, b, c, d, e, word(t));
    step<Round>(e, a, b, c, d, word(t + 1));
    step<Round>(d, e, a, b, c, word(t + 2));
    step<Round>(c, d, e, a, b, word(t + 3));
    step<Round>(b, c, d, e, a, word(t + 4));
}

void compressPortable(std::uint32_t* chain, const std::uint8_t* p, std::size_t blocks) {
    for (; blocks > 0; --blocks, p += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = detail::loadBe32(p + 4 * i);
        std::uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3], e = chain[4];
        for (int t = 0; t < 20; t += 5) fiveSteps<0>(w, t, a, b, c, d, e);
        for (int t = 20; t < 40; t += 5) fiveSteps<1>(w, t, a, b, c, d, e);
        for (int t = 40; t < 60; t += 5) fiveSteps<2>(w, t, a, b, c, d, e);
        for (int t = 60; t < 80; t += 5) fiveSteps<3>(w, t, a, b, c, d, e);
        chain[0] += a;
        chain[1] += b;
        chain[2] += c;
        chain[3] += d;
        chain[4] += e;
    }
}

void compress(std::uint32_t* chain, const std::uint8_t* p, std::size_t blocks) {
#ifdef VELQUOR_DIGEST_X86
    if (detail::useShaInstructions()) {
        detail::sha1BlocksShaNi(chain, p, blocks);
        return;
    }
#endif
    compressPortable(chain, p, blocks);
}

}  // namespace

void Sha1State::start() {
    byteCount[0] = byteCount[1] = 0;
    chain[0] = 0x67452301u;
    chain[1] = 0xEFCDAB89u;
    chain[2] = 0x98BADCFEu;
    chain[3] = 0x10325476u;
    chain[4] = 0xC3D2E1F0u;
    std::memset(block, 0, sizeof block);
}

void Sha1State::add(const void* data, std::uint32_t count) {
    detail::absorbCounted<64, 0>(
        byteCount, reinterpret_cast<std::uint8_t*>(block), data, count,
        [this](const std::uint8_t* blocks, std::size_t n) { compress(chain, blocks, n); });
}

void Sha1State::finish(std::uint8_t out[20]) {
    std::uint8_t lengthBytes[8];
    detail::storeBe64(lengthBytes, detail::wideCount(byteCount) << 3);
    detail::appendPadding<64>(byteCount[0] & 63, lengthBytes,
                              [this](const void* p, std::uint32_t n) { add(p, n); });
    for (int i = 0; i < 5; ++i) detail::storeBe32(out + 4 * i, chain[i]);
}

}  // namespace velquor::digest
