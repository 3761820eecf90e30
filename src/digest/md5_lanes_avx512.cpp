// MD5 lanes for processors with AVX-512VL: each round function one ternary-logic
// instruction, each rotation one instruction.
#include "digest/acceleration_internal.h"

#ifdef VELQUOR_DIGEST_X86

#define VELQUOR_MD5_LANES_TARGET __attribute__((target("avx512f,avx512vl")))

#include "digest/md5_lanes.h"

namespace velquor::digest::detail {

namespace {

struct Avx512Ops {
    // The round functions as ternary-logic tables of (b, c, d): b ? c : d, d ? b : c,
    // b ^ c ^ d, c ^ (b | ~d).
    template <int Round>
    VELQUOR_MD5_LANES_TARGET static __m256i round(__m256i b, __m256i c, __m256i d) {
        constexpr int kTables[4] = {0xca, 0xe4, 0x96, 0x39};
        return _mm256_ternarylogic_epi32(b, c, d, kTables[Round]);
    }
    template <int Shift>
    VELQUOR_MD5_LANES_TARGET static __m256i rotateLeft(__m256i x) {
        return _mm256_rol_epi32(x, Shift);
    }
};

}  // namespace

VELQUOR_MD5_LANES_TARGET void md5EightLanesAvx512(const std::span<const std::uint8_t>* messages,
                                                  std::size_t count, std::uint8_t (*digests)[16]) {
    md5EightLanes<Avx512Ops>(messages, count, digests);
}

}  // namespace velquor::digest::detail

#endif
