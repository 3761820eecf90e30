// SHA-1 and SHA-256 block functions on the processor's SHA extensions. Only called after
// the run-time check in acceleration.cpp; the portable functions give the same results.
#include "digest/acceleration_internal.h"

#ifdef VELQUOR_DIGEST_X86

#include <immintrin.h>

#include <utility>

#include "digest/sha2_constants.h"

#define VELQUOR_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace velquor::digest::detail {

namespace {

struct Sha1Registers {
    __m128i abcd;
    __m128i e0;
    __m128i e1;
    __m128i msg[4];
};

// Four rounds (group G of 20) with the message schedule interleaved as the instructions
// want it: msg[G % 4] holds the words of group G.
template <int G>
VELQUOR_SHA_TARGET inline void sha1Group(Sha1Registers& r) {
    constexpr int kFunction = G / 5;
    __m128i& current = (G % 2 == 0) ? r.e0 : r.e1;
    __m128i& other = (G % 2 == 0) ? r.e1 : r.e0;
    if constexpr (G == 0) {
        current = _mm_add_epi32(current, r.msg[0]);
    } else {
        current = _mm_sha1nexte_epu32(current, r.msg[G % 4]);
    }
    other = r.abcd;
    if constexpr (G >= 3 && G <= 18) {
        r.msg[(G + 1) % 4] = _mm_sha1msg2_epu32(r.msg[(G + 1) % 4], r.msg[G % 4]);
    }
    r.abcd = _mm_sha1rnds4_epu32(r.abcd, current, kFunction);
    if constexpr (G >= 1 && G <= 16) {
        r.msg[(G + 3) % 4] = _mm_sha1msg1_epu32(r.msg[(G + 3) % 4], r.msg[G % 4]);
    }
    if constexpr (G >= 2 && G <= 17) {
        r.msg[(G + 2) % 4] = _mm_xor_si128(r.msg[(G + 2) % 4], r.msg[G % 4]);
    }
}

template <std::size_t... G>
VELQUOR_SHA_TARGET inline void sha1AllGroups(Sha1Registers& r, std::index_sequence<G...>) {
    (sha1Group<static_cast<int>(G)>(r), ...);
}

struct Sha256Registers {
    __m128i state0;  // A B E F
    __m128i state1;  // C D G H
    __m128i msg[4];
};

template <int G>
VELQUOR_SHA_TARGET inline void sha256Group(Sha256Registers& r, const std::uint8_t* block,
                                           __m128i byteSwap) {
    if constexpr (G < 4) {
        r.msg[G] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), byteSwap);
    }
    __m128i words = _mm_add_epi32(
        r.msg[G % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256Constants + 4 * G)));
    r.state1 = _mm_sha256rnds2_epu32(r.state1, r.state0, words);
    if constexpr (G >= 3 && G <= 14) {
        const __m128i shifted = _mm_alignr_epi8(r.msg[G % 4], r.msg[(G + 3) % 4], 4);
        r.msg[(G + 1) % 4] = _mm_add_epi32(r.msg[(G + 1) % 4], shifted);
        r.msg[(G + 1) % 4] = _mm_sha256msg2_epu32(r.msg[(G + 1) % 4], r.msg[G % 4]);
    }
    words = _mm_shuffle_epi32(words, 0x0E);
    r.state0 = _mm_sha256rnds2_epu32(r.state0, r.state1, words);
    if constexpr (G >= 1 && G <= 12) {
        r.msg[(G + 3) % 4] = _mm_sha256msg1_epu32(r.msg[(G + 3) % 4], r.msg[G % 4]);
    }
}

template <std::size_t... G>
VELQUOR_SHA_TARGET inline void sha256AllGroups(Sha256Registers& r, const std::uint8_t* block,
                                               __m128i byteSwap, std::index_sequence<G...>) {
    (sha256Group<static_cast<int>(G)>(r, block, byteSwap), ...);
}

}  // namespace

VELQUOR_SHA_TARGET void sha1BlocksShaNi(std::uint32_t chain[5], const std::uint8_t* data,
                                        std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    Sha1Registers r;
    r.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chain)), 0x1B);
    r.e0 = _mm_set_epi32(static_cast<int>(chain[4]), 0, 0, 0);
    r.e1 = _mm_setzero_si128();
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcdSaved = r.abcd;
        const __m128i eSaved = r.e0;
        for (int i = 0; i < 4; ++i) {
            r.msg[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        }
        sha1AllGroups(r, std::make_index_sequence<20>{});
        // After group 19, e0 holds the A..D of group 19's input: its rotation is the new E.
        r.e0 = _mm_sha1nexte_epu32(r.e0, eSaved);
        r.abcd = _mm_add_epi32(r.abcd, abcdSaved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), _mm_shuffle_epi32(r.abcd, 0x1B));
    chain[4] = static_cast<std::uint32_t>(_mm_extract_epi32(r.e0, 3));
}

VELQUOR_SHA_TARGET void sha256BlocksShaNi(std::uint32_t chain[8], const std::uint8_t* data,
                                          std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chain)),
                                     0xB1);  // C D A B
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chain + 4)),
                                     0x1B);  // E F G H
    Sha256Registers r;
    r.state0 = _mm_alignr_epi8(dcba, efgh, 8);     // A B E F
    r.state1 = _mm_blend_epi16(efgh, dcba, 0xF0);  // C D G H
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i saved0 = r.state0;
        const __m128i saved1 = r.state1;
        sha256AllGroups(r, data, byteSwap, std::make_index_sequence<16>{});
        r.state0 = _mm_add_epi32(r.state0, saved0);
        r.state1 = _mm_add_epi32(r.state1, saved1);
    }
    const __m128i feba = _mm_shuffle_epi32(r.state0, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(r.state1, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace velquor::digest::detail

#endif
