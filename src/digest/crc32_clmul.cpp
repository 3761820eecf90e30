// CRC-32 by carry-less multiplication: four 128-bit lanes are folded forward over the data,
// then folded into one, whose 16 bytes (followed by the tail) carry the same CRC as the input.
#include "digest/acceleration_internal.h"

#ifdef VELQUOR_DIGEST_X86

#include <immintrin.h>

#include "digest/crc32.h"

namespace velquor::digest::detail {

namespace {

// x^(512+32) and x^(512-32) mod P, then x^(128+32) and x^(128-32) mod P, bit-reflected.
constexpr long long kFold4Low = 0x154442bd4LL;
constexpr long long kFold4High = 0x1c6e41596LL;
constexpr long long kFold1Low = 0x1751997d0LL;
constexpr long long kFold1High = 0x0ccaa009eLL;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i lane, __m128i next,
                                                             __m128i constants) {
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32Clmul(std::uint32_t reg,
                                                                  const std::uint8_t* p,
                                                                  std::size_t count) {
    const __m128i fold4 = _mm_set_epi64x(kFold4High, kFold4Low);
    const __m128i fold1 = _mm_set_epi64x(kFold1High, kFold1Low);

    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = load(p + 16);
    __m128i x2 = load(p + 32);
    __m128i x3 = load(p + 48);
    p += 64;
    count -= 64;
    while (count >= 64) {
        x0 = fold(x0, load(p), fold4);
        x1 = fold(x1, load(p + 16), fold4);
        x2 = fold(x2, load(p + 32), fold4);
        x3 = fold(x3, load(p + 48), fold4);
        p += 64;
        count -= 64;
    }
    __m128i x = fold(x0, x1, fold1);
    x = fold(x, x2, fold1);
    x = fold(x, x3, fold1);
    while (count >= 16) {
        x = fold(x, load(p), fold1);
        p += 16;
        count -= 16;
    }
    alignas(16) std::uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(folded), x);
    // The folded lane stands for everything before it: its CRC from a zero register, then
    // the tail, gives the CRC of the whole input.
    std::uint32_t result = CCrc32Static::Update(0, folded, 16);
    return CCrc32Static::Update(result, p, count);
}

}  // namespace velquor::digest::detail

#endif
