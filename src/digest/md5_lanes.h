// The MD5 of eight messages side by side, one in each 32-bit lane of a 256-bit register: the
// same 64 steps for all, on each message's own words, a message that runs out of blocks
// before the others keeping its state while they go on. Included by the file of each
// instruction set, which defines VELQUOR_MD5_LANES_TARGET (its target attribute) first and
// gives an Ops with the round functions and the rotation in its instructions.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "digest/byte_order.h"

namespace velquor::digest::detail {

namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// The message word step i adds.
constexpr int wordOf(int i) {
    const int j = i % 16;
    switch (i / 16) {
        case 0:
            return j;
        case 1:
            return (1 + 5 * j) % 16;
        case 2:
            return (5 + 3 * j) % 16;
        default:
            return (7 * j) % 16;
    }
}

using Lanes = __m256i;

// Step I on the state v (a, b, c, d), whose roles turn by one each step; Ops gives the round
// functions and the rotation in the instructions of its processor.
template <typename Ops, int I>
VELQUOR_MD5_LANES_TARGET inline void step(Lanes (&v)[4], const Lanes (&x)[16]) {
    constexpr int a = (4 - I % 4) % 4;
    const Lanes b = v[(a + 1) % 4], c = v[(a + 2) % 4], d = v[(a + 3) % 4];
    const Lanes f = Ops::template round<I / 16>(b, c, d);
    const Lanes sum = _mm256_add_epi32(
        _mm256_add_epi32(v[a], f),
        _mm256_add_epi32(x[wordOf(I)], _mm256_set1_epi32(static_cast<int>(kSine[I]))));
    v[a] = _mm256_add_epi32(b, Ops::template rotateLeft<kShifts[I / 16][I % 4]>(sum));
}

template <typename Ops, std::size_t... I>
VELQUOR_MD5_LANES_TARGET inline void steps(Lanes (&v)[4], const Lanes (&x)[16],
                                           std::index_sequence<I...>) {
    (step<Ops, I>(v, x), ...);
}

// Eight rows of eight words (row r from rows[r]) into eight columns: column w holds word w of
// every row.
VELQUOR_MD5_LANES_TARGET inline void transpose(const std::uint8_t* const (&rows)[8], int offset,
                                               Lanes* columns) {
    Lanes r[8];
    for (int i = 0; i < 8; ++i) {
        r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[i] + offset));
    }
    Lanes t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
        u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
        u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
        u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    for (int w = 0; w < 4; ++w) {
        columns[w] = _mm256_permute2x128_si256(u[w], u[w + 4], 0x20);
        columns[w + 4] = _mm256_permute2x128_si256(u[w], u[w + 4], 0x31);
    }
}

// One message's blocks: its whole 64-byte blocks read in place, then the last bytes with the
// padding and length in a block or two of its own.
struct Message {
    const std::uint8_t* data = nullptr;
    std::size_t wholeBlocks = 0;
    std::size_t blocks = 0;  // in all
    alignas(32) std::uint8_t tail[128] = {};

    void prepare(std::span<const std::uint8_t> bytes) {
        data = bytes.data();
        wholeBlocks = bytes.size() / 64;
        const std::size_t rest = bytes.size() % 64;
        if (rest > 0) std::memcpy(tail, data + wholeBlocks * 64, rest);
        tail[rest] = 0x80;
        const std::size_t tailBytes = rest + 9 <= 64 ? 64 : 128;
        storeLe64(tail + tailBytes - 8, static_cast<std::uint64_t>(bytes.size()) * 8);
        blocks = wholeBlocks + tailBytes / 64;
    }
    // Block k; one past the last gives the last again, which is digested and dropped.
    const std::uint8_t* block(std::size_t k) const {
        if (k < wholeBlocks) return data + 64 * k;
        return tail + 64 * std::min(k - wholeBlocks, blocks - wholeBlocks - 1);
    }
};

// The digests of count (1 to 8) messages into digests.
template <typename Ops>
VELQUOR_MD5_LANES_TARGET void md5EightLanes(const std::span<const std::uint8_t>* messages,
                                            std::size_t count, std::uint8_t (*digests)[16]) {
    Message lanes[8];
    std::size_t longest = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        // Unused lanes digest the last message again and are not stored.
        lanes[i].prepare(messages[std::min(i, count - 1)]);
        longest = std::max(longest, lanes[i].blocks);
    }
    Lanes chain[4] = {
        _mm256_set1_epi32(0x67452301), _mm256_set1_epi32(static_cast<int>(0xefcdab89)),
        _mm256_set1_epi32(static_cast<int>(0x98badcfe)), _mm256_set1_epi32(0x10325476)};
    for (std::size_t k = 0; k < longest; ++k) {
        const std::uint8_t* rows[8];
        alignas(32) std::int32_t activeLanes[8];
        for (int i = 0; i < 8; ++i) {
            rows[i] = lanes[i].block(k);
            activeLanes[i] = k < lanes[i].blocks ? -1 : 0;
        }
        const Lanes active = _mm256_load_si256(reinterpret_cast<const __m256i*>(activeLanes));
        Lanes x[16];
        transpose(rows, 0, x);
        transpose(rows, 32, x + 8);
        Lanes v[4] = {chain[0], chain[1], chain[2], chain[3]};
        steps<Ops>(v, x, std::make_index_sequence<64>{});
        // A lane whose message has ended keeps its state.
        for (int w = 0; w < 4; ++w) {
            chain[w] = _mm256_blendv_epi8(chain[w], _mm256_add_epi32(chain[w], v[w]), active);
        }
    }
    alignas(32) std::uint32_t words[4][8];
    for (int w = 0; w < 4; ++w) _mm256_store_si256(reinterpret_cast<__m256i*>(words[w]), chain[w]);
    for (std::size_t i = 0; i < count; ++i) {
        for (int w = 0; w < 4; ++w) storeLe32(digests[i] + 4 * w, words[w][i]);
    }
}

}  // namespace

}  // namespace velquor::digest::detail
