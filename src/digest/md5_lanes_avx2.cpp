// MD5 lanes for processors with AVX2 (and without AVX-512VL): the round functions in two or
// three logic instructions, each rotation two shifts and an or.
#include "digest/acceleration_internal.h"

#ifdef VELQUOR_DIGEST_X86

#define VELQUOR_MD5_LANES_TARGET __attribute__((target("avx2")))

#include "digest/md5_lanes.h"

namespace velquor::digest::detail {

namespace {

struct Avx2Ops {
    template <int Round>
    VELQUOR_MD5_LANES_TARGET static __m256i round(__m256i b, __m256i c, __m256i d) {
        if constexpr (Round == 0) {
            return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
        } else if constexpr (Round == 1) {
            return _mm256_or_si256(_mm256_and_si256(b, d), _mm256_andnot_si256(d, c));
        } else if constexpr (Round == 2) {
            return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
        } else {
            const __m256i notD = _mm256_xor_si256(d, _mm256_set1_epi32(-1));
            return _mm256_xor_si256(c, _mm256_or_si256(b, notD));
        }
    }
    template <int Shift>
    VELQUOR_MD5_LANES_TARGET static __m256i rotateLeft(__m256i x) {
        return _mm256_or_si256(_mm256_slli_epi32(x, Shift), _mm256_srli_epi32(x, 32 - Shift));
    }
};

}  // namespace

VELQUOR_MD5_LANES_TARGET void md5EightLanesAvx2(const std::span<const std::uint8_t>* messages,
                                                std::size_t count, std::uint8_t (*digests)[16]) {
    md5EightLanes<Avx2Ops>(messages, count, digests);
}

}  // namespace velquor::digest::detail

#endif
