// SHA-384/512 block function for processors with AVX-512VL: the message schedule of the next
// block is worked out two words at a time in vector registers, interleaved with the scalar
// rounds of the current block, so that the two kinds of work overlap in the processor.
#include "digest/acceleration_internal.h"

#ifdef VELQUOR_DIGEST_X86

#include <immintrin.h>

#include <bit>

#include "digest/sha2_constants.h"

#define VELQUOR_AVX512_TARGET __attribute__((target("avx512f,avx512vl,bmi2,ssse3")))

namespace velquor::digest::detail {

namespace {

template <int Bits>
VELQUOR_AVX512_TARGET inline __m128i rotr(__m128i x) {
    return _mm_ror_epi64(x, Bits);
}

VELQUOR_AVX512_TARGET inline __m128i smallSigma0(__m128i x) {
    return _mm_xor_si128(_mm_xor_si128(rotr<1>(x), rotr<8>(x)), _mm_srli_epi64(x, 7));
}

VELQUOR_AVX512_TARGET inline __m128i smallSigma1(__m128i x) {
    return _mm_xor_si128(_mm_xor_si128(rotr<19>(x), rotr<61>(x)), _mm_srli_epi64(x, 6));
}

// The last 16 schedule words of the block being prepared, as eight pairs.
struct Schedule {
    __m128i pairs[8];
    const std::uint8_t* block;
};

// Schedule words 2j and 2j+1 (plus their round constants) into wk.
VELQUOR_AVX512_TARGET inline void schedulePair(Schedule& s, int j, std::uint64_t* wk) {
    __m128i words;
    if (j < 8) {
        const __m128i byteSwap = _mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
        words = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.block + 16 * j)), byteSwap);
    } else {
        // W[t] = σ1(W[t-2]) + W[t-7] + σ0(W[t-15]) + W[t-16], for t = 2j, 2j+1.
        const __m128i w2 = s.pairs[(j - 1) & 7];
        const __m128i w7 = _mm_alignr_epi8(s.pairs[(j - 3) & 7], s.pairs[(j - 4) & 7], 8);
        const __m128i w15 = _mm_alignr_epi8(s.pairs[(j + 1) & 7], s.pairs[j & 7], 8);
        const __m128i w16 = s.pairs[j & 7];
        words =
            _mm_add_epi64(_mm_add_epi64(smallSigma1(w2), w7), _mm_add_epi64(smallSigma0(w15), w16));
    }
    s.pairs[j & 7] = words;
    const __m128i constants =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kSha512Constants + 2 * j));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 2 * j), _mm_add_epi64(words, constants));
}

// Kept apart from sha2.cpp's round<T>: the vector schedule has already added the constant into
// wk, and the shared round would look it up and add it again in the hottest loop.
VELQUOR_AVX512_TARGET inline void round(const std::uint64_t* wk, int t, std::uint64_t a,
                                        std::uint64_t b, std::uint64_t c, std::uint64_t& d,
                                        std::uint64_t e, std::uint64_t f, std::uint64_t g,
                                        std::uint64_t& h) {
    const std::uint64_t t1 =
        h + (std::rotr(e, 14) ^ std::rotr(e, 18) ^ std::rotr(e, 41)) + (g ^ (e & (f ^ g))) + wk[t];
    const std::uint64_t t2 =
        (std::rotr(a, 28) ^ std::rotr(a, 34) ^ std::rotr(a, 39)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

}  // namespace

VELQUOR_AVX512_TARGET void sha512BlocksAvx512(std::uint64_t chain[8], const std::uint8_t* data,
                                              std::size_t blocks) {
    if (blocks == 0) return;
    alignas(16) std::uint64_t wk[2][80];
    Schedule schedule;
    schedule.block = data;
    for (int j = 0; j < 40; ++j) schedulePair(schedule, j, wk[0]);
    int current = 0;
    for (; blocks > 0; --blocks, data += 128) {
        const bool more = blocks > 1;
        schedule.block = data + 128;
        const std::uint64_t* w = wk[current];
        std::uint64_t* next = wk[current ^ 1];
        std::uint64_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
        std::uint64_t e = chain[4], f = chain[5], g = chain[6], h = chain[7];
        // The portable loop's shape, kept as a twin: the next block's schedule slotted between
        // the rounds is where this path's speed comes from.
#pragma GCC unroll 10
        for (int t = 0; t < 80; t += 8) {
            round(w, t, a, b, c, d, e, f, g, h);
            round(w, t + 1, h, a, b, c, d, e, f, g);
            if (more) schedulePair(schedule, t / 2, next);
            round(w, t + 2, g, h, a, b, c, d, e, f);
            round(w, t + 3, f, g, h, a, b, c, d, e);
            if (more) schedulePair(schedule, t / 2 + 1, next);
            round(w, t + 4, e, f, g, h, a, b, c, d);
            round(w, t + 5, d, e, f, g, h, a, b, c);
            if (more) schedulePair(schedule, t / 2 + 2, next);
            round(w, t + 6, c, d, e, f, g, h, a, b);
            round(w, t + 7, b, c, d, e, f, g, h, a);
            if (more) schedulePair(schedule, t / 2 + 3, next);
        }
        chain[0] += a;
        chain[1] += b;
        chain[2] += c;
        chain[3] += d;
        chain[4] += e;
        chain[5] += f;
        chain[6] += g;
        chain[7] += h;
        current ^= 1;
    }
}

}  // namespace velquor::digest::detail

#endif
