// GOST R 34.11-94 over GOST 28147-89. The 28147 substitution-and-rotation is four table
// look-ups; the tables are built once per parameter set, on first use, thread-safely. The
// linear shuffle ψ is applied as its 12th and 61st powers, worked out at compile time as XOR
// patterns over 16-bit words, so no ψ loop runs at hashing time.
#include "digest/gost94.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "digest/block_buffer.h"
#include "digest/byte_order.h"

namespace velquor::digest {

namespace {

using SBoxes = std::array<std::array<std::uint8_t, 16>, 8>;  // [0] substitutes the lowest nibble

// The example parameters of GOST R 34.11-94 itself.
constexpr SBoxes kTestParameters = {{
    {4, 10, 9, 2, 13, 8, 0, 14, 6, 11, 1, 12, 7, 15, 5, 3},
    {14, 11, 4, 12, 6, 13, 15, 10, 2, 3, 8, 1, 0, 7, 5, 9},
    {5, 8, 1, 13, 10, 3, 4, 2, 14, 15, 12, 7, 6, 0, 9, 11},
    {7, 13, 10, 1, 0, 8, 9, 15, 14, 4, 6, 12, 11, 2, 5, 3},
    {6, 12, 7, 1, 5, 15, 13, 8, 4, 10, 9, 14, 0, 3, 11, 2},
    {4, 11, 10, 0, 7, 2, 1, 13, 3, 6, 8, 5, 9, 12, 15, 14},
    {13, 11, 4, 1, 3, 15, 5, 9, 0, 10, 14, 7, 6, 8, 2, 12},
    {1, 15, 13, 0, 5, 7, 10, 4, 9, 2, 3, 14, 6, 11, 8, 12},
}};

// The CryptoPro parameters (RFC 4357).
constexpr SBoxes kCryptoProParameters = {{
    {10, 4, 5, 6, 8, 1, 3, 7, 13, 12, 14, 0, 9, 2, 11, 15},
    {5, 15, 4, 0, 2, 13, 11, 9, 1, 7, 6, 3, 12, 14, 10, 8},
    {7, 15, 12, 14, 9, 4, 1, 0, 3, 11, 5, 2, 6, 10, 8, 13},
    {4, 10, 7, 12, 0, 15, 2, 8, 14, 1, 6, 5, 13, 11, 9, 3},
    {7, 6, 4, 11, 9, 12, 2, 10, 1, 8, 0, 14, 15, 13, 3, 5},
    {7, 6, 2, 4, 13, 9, 15, 0, 10, 1, 5, 11, 8, 14, 12, 3},
    {13, 14, 4, 1, 7, 0, 5, 10, 3, 12, 8, 15, 6, 2, 9, 11},
    {1, 3, 10, 9, 5, 11, 4, 15, 8, 6, 7, 14, 13, 0, 2, 12},
}};

// table[k][b]: the two boxes' outputs for byte k of the word, in place and rotated left by 11.
using GostTables = std::array<std::array<std::uint32_t, 256>, 4>;

GostTables buildTables(const SBoxes& boxes) {
    GostTables tables{};
    for (int k = 0; k < 4; ++k) {
        for (std::uint32_t b = 0; b < 256; ++b) {
            const std::uint32_t substituted =
                static_cast<std::uint32_t>(boxes[2 * k][b & 15] | (boxes[2 * k + 1][b >> 4] << 4));
            const std::uint32_t placed = substituted << (8 * k);
            tables[k][b] = (placed << 11) | (placed >> 21);
        }
    }
    return tables;
}

const GostTables& tablesFor(GostParameterSet set) {
    // Static locals are initialised once, and safely when threads race to the first use.
    if (set == GostParameterSet::CryptoPro) {
        static const GostTables cryptoPro = buildTables(kCryptoProParameters);
        return cryptoPro;
    }
    static const GostTables test = buildTables(kTestParameters);
    return test;
}

// ψ powers as XOR patterns: pattern[i] has bit j set when input word j enters output word i.
using PsiPattern = std::array<std::uint16_t, 16>;

constexpr PsiPattern psiPower(int power) {
    PsiPattern words{};
    for (int j = 0; j < 16; ++j) words[j] = static_cast<std::uint16_t>(1u << j);
    for (int round = 0; round < power; ++round) {
        PsiPattern next{};
        for (int i = 0; i < 15; ++i) next[i] = words[i + 1];
        next[15] = static_cast<std::uint16_t>(words[0] ^ words[1] ^ words[2] ^ words[3] ^
                                              words[12] ^ words[15]);
        words = next;
    }
    return words;
}

constexpr PsiPattern kPsi12 = psiPower(12);
constexpr PsiPattern kPsi61 = psiPower(61);

template <std::uint16_t pattern, std::size_t... J>
inline std::uint16_t xorSelected(const std::uint16_t* in, std::index_sequence<J...>) {
    return static_cast<std::uint16_t>(((((pattern >> J) & 1u) ? in[J] : 0u) ^ ...));
}

// out ^= ψ^power(in), fully unrolled.
template <const PsiPattern& pattern, std::size_t... I>
inline void xorPsiInto(std::uint16_t* out, const std::uint16_t* in, std::index_sequence<I...>) {
    ((out[I] ^= xorSelected<pattern[I]>(in, std::make_index_sequence<16>{})), ...);
}

struct Words16 {
    std::uint16_t w[16];
};

inline Words16 toWords16(const std::uint32_t* words) {
    Words16 out;
    for (int i = 0; i < 8; ++i) {
        out.w[2 * i] = static_cast<std::uint16_t>(words[i]);
        out.w[2 * i + 1] = static_cast<std::uint16_t>(words[i] >> 16);
    }
    return out;
}

// A: (y4 y3 y2 y1) -> (y1^y2, y4, y3, y2) on 64-bit quarters, lowest quarter first.
inline void transformA(std::uint32_t* u) {
    const std::uint32_t low = u[0] ^ u[2];
    const std::uint32_t high = u[1] ^ u[3];
    u[0] = u[2];
    u[1] = u[3];
    u[2] = u[4];
    u[3] = u[5];
    u[4] = u[6];
    u[5] = u[7];
    u[6] = low;
    u[7] = high;
}

// P: key byte 4j+i is byte 8i+j of w, a transpose of 4 rows of 8 bytes into 8 rows of 4.
// Done on 64-bit rows (row i = w[2i] | w[2i+1] << 32), both 4x4 halves at once.
inline void transformP(const std::uint32_t* w, std::uint32_t* key) {
    constexpr std::uint64_t kEvenBytes = 0x00ff00ff00ff00ffULL;
    constexpr std::uint64_t kLowHalves = 0x0000ffff0000ffffULL;
    auto row = [w](int i) {
        return static_cast<std::uint64_t>(w[2 * i]) |
               (static_cast<std::uint64_t>(w[2 * i + 1]) << 32);
    };
    const std::uint64_t r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
    // Pair up rows 0/1 and 2/3 byte by byte: even columns, odd columns.
    const std::uint64_t even01 = (r0 & kEvenBytes) | ((r1 & kEvenBytes) << 8);
    const std::uint64_t odd01 = ((r0 >> 8) & kEvenBytes) | (r1 & ~kEvenBytes);
    const std::uint64_t even23 = (r2 & kEvenBytes) | ((r3 & kEvenBytes) << 8);
    const std::uint64_t odd23 = ((r2 >> 8) & kEvenBytes) | (r3 & ~kEvenBytes);
    // Then the 16-bit pairs into whole key words: columns 0/4, 2/6, 1/5, 3/7.
    const std::uint64_t k04 = (even01 & kLowHalves) | ((even23 & kLowHalves) << 16);
    const std::uint64_t k26 = ((even01 >> 16) & kLowHalves) | (even23 & ~kLowHalves);
    const std::uint64_t k15 = (odd01 & kLowHalves) | ((odd23 & kLowHalves) << 16);
    const std::uint64_t k37 = ((odd01 >> 16) & kLowHalves) | (odd23 & ~kLowHalves);
    key[0] = static_cast<std::uint32_t>(k04);
    key[4] = static_cast<std::uint32_t>(k04 >> 32);
    key[1] = static_cast<std::uint32_t>(k15);
    key[5] = static_cast<std::uint32_t>(k15 >> 32);
    key[2] = static_cast<std::uint32_t>(k26);
    key[6] = static_cast<std::uint32_t>(k26 >> 32);
    key[3] = static_cast<std::uint32_t>(k37);
    key[7] = static_cast<std::uint32_t>(k37 >> 32);
}

inline std::uint32_t substitute(const GostTables& t, std::uint32_t x) {
    return t[0][x & 0xFF] ^ t[1][(x >> 8) & 0xFF] ^ t[2][(x >> 16) & 0xFF] ^ t[3][x >> 24];
}

// Four GOST 28147-89 encryptions in simple substitution mode, one per 64-bit quarter of in
// (low word first) under its own key, run in lock step: each round is a chain of dependent
// table look-ups, and four independent chains keep the processor busy.
inline void encryptQuarters(const GostTables& t, const std::uint32_t (&keys)[4][8],
                            const std::uint32_t* in, std::uint32_t* out) {
    std::uint32_t r[4], l[4];
    for (int q = 0; q < 4; ++q) {
        r[q] = in[2 * q];
        l[q] = in[2 * q + 1];
    }
    auto rounds = [&](int k1, int k2) {
        for (int q = 0; q < 4; ++q) l[q] ^= substitute(t, r[q] + keys[q][k1]);
        for (int q = 0; q < 4; ++q) r[q] ^= substitute(t, l[q] + keys[q][k2]);
    };
    for (int pass = 0; pass < 3; ++pass) {
        rounds(0, 1);
        rounds(2, 3);
        rounds(4, 5);
        rounds(6, 7);
    }
    rounds(7, 6);
    rounds(5, 4);
    rounds(3, 2);
    rounds(1, 0);
    for (int q = 0; q < 4; ++q) {
        out[2 * q] = l[q];
        out[2 * q + 1] = r[q];
    }
}

// The chaining step: hash := f(hash, m).
void step(const GostTables& t, std::uint32_t* hash, const std::uint32_t* m) {
    static constexpr std::uint32_t kC3[8] = {0xff00ff00, 0xff00ff00, 0x00ff00ff, 0x00ff00ff,
                                             0x00ffff00, 0xff0000ff, 0x000000ff, 0xff00ffff};
    std::uint32_t u[8];
    std::uint32_t v[8];
    std::uint32_t w[8];
    std::uint32_t keys[4][8];
    std::uint32_t s[8];
    std::memcpy(u, hash, sizeof u);
    std::memcpy(v, m, sizeof v);
    for (int quarter = 0; quarter < 4; ++quarter) {
        if (quarter > 0) {
            transformA(u);
            if (quarter == 2) {
                for (int i = 0; i < 8; ++i) u[i] ^= kC3[i];
            }
            transformA(v);
            transformA(v);
        }
        for (int i = 0; i < 8; ++i) w[i] = u[i] ^ v[i];
        transformP(w, keys[quarter]);
    }
    encryptQuarters(t, keys, hash, s);
    // hash' = ψ^61(hash ^ ψ(m ^ ψ^12(s)))
    Words16 x{};
    xorPsiInto<kPsi12>(x.w, toWords16(s).w, std::make_index_sequence<16>{});
    const Words16 m16 = toWords16(m);
    for (int i = 0; i < 16; ++i) x.w[i] ^= m16.w[i];
    Words16 y;
    for (int i = 0; i < 15; ++i) y.w[i] = x.w[i + 1];
    y.w[15] = static_cast<std::uint16_t>(x.w[0] ^ x.w[1] ^ x.w[2] ^ x.w[3] ^ x.w[12] ^ x.w[15]);
    const Words16 h16 = toWords16(hash);
    for (int i = 0; i < 16; ++i) y.w[i] ^= h16.w[i];
    Words16 result{};
    xorPsiInto<kPsi61>(result.w, y.w, std::make_index_sequence<16>{});
    for (int i = 0; i < 8; ++i) {
        hash[i] = static_cast<std::uint32_t>(result.w[2 * i]) |
                  (static_cast<std::uint32_t>(result.w[2 * i + 1]) << 16);
    }
}

void processBlock(GostHashState& state, const GostTables& t, const std::uint8_t* block,
                  std::uint32_t bits) {
    std::uint32_t m[8];
    std::uint32_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        m[i] = detail::loadLe32(block + 4 * i);
        const std::uint64_t sum = static_cast<std::uint64_t>(state.checksum[i]) + m[i] + carry;
        state.checksum[i] = static_cast<std::uint32_t>(sum);
        carry = static_cast<std::uint32_t>(sum >> 32);
    }
    step(t, state.hash, m);
    const std::uint64_t length =
        (static_cast<std::uint64_t>(state.length[1]) << 32 | state.length[0]) + bits;
    state.length[0] = static_cast<std::uint32_t>(length);
    state.length[1] = static_cast<std::uint32_t>(length >> 32);
}

}  // namespace

void GostHashState::start(GostParameterSet set) {
    std::memset(checksum, 0, sizeof checksum);
    std::memset(hash, 0, sizeof hash);
    std::memset(length, 0, sizeof length);
    std::memset(partial, 0, sizeof partial);
    partialCount = 0;
    parameterSet = set;
}

void GostHashState::add(const void* data, std::uint32_t count) {
    const GostTables& t = tablesFor(parameterSet);
    const std::uint32_t used = partialCount;
    partialCount = static_cast<std::uint32_t>((std::uint64_t{used} + count) % 32);
    detail::absorb<32>(partial, used, static_cast<const std::uint8_t*>(data), count,
                       [this, &t](const std::uint8_t* blocks, std::size_t n) {
                           for (std::size_t i = 0; i < n; ++i) {
                               processBlock(*this, t, blocks + 32 * i, 256);
                           }
                       });
}

void GostHashState::finish(std::uint8_t out[32]) {
    const GostTables& t = tablesFor(parameterSet);
    if (partialCount > 0) {
        std::memset(partial + partialCount, 0, 32 - partialCount);
        processBlock(*this, t, partial, 8 * partialCount);
        partialCount = 0;
    }
    step(t, hash, length);
    step(t, hash, checksum);
    for (int i = 0; i < 8; ++i) detail::storeLe32(out + 4 * i, hash[i]);
}

}  // namespace velquor::digest
