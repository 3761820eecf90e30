// The multi-block ECB paths behind encryptBlocks/decryptBlocks: one on the processor's AES
// instructions (chosen at run time) and a table-driven one that runs everywhere. Both take
// their round keys from a keyed CAes, so they cannot drift from it.
#include <array>
#include <cstring>

#include "crypto/aes.h"
#include "crypto/aes_tables.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELQUOR_HAVE_AESNI 1
#endif

namespace velquor::crypto {

namespace {

constexpr int kRounds = 10;
constexpr int kRoundKeyWords = 4 * (kRounds + 1);

using detail::kInvSBox;
using detail::kSBox;

// ---- Portable path: 32-bit table lookups, a column per word with row 0 in the top byte.

constexpr std::uint8_t mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0) product ^= a;
        a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1b : 0));
        b >>= 1;
    }
    return product;
}

constexpr std::uint32_t word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return (std::uint32_t{b0} << 24) | (std::uint32_t{b1} << 16) | (std::uint32_t{b2} << 8) | b3;
}

constexpr std::uint32_t rotr8(std::uint32_t w, int times) {
    for (int i = 0; i < times; ++i) w = (w >> 8) | (w << 24);
    return w;
}

using Table = std::array<std::uint32_t, 256>;

// Table k is table 0 rotated right by k bytes: one round's SubBytes+MixColumns for the byte
// that ShiftRows brings into row k.
constexpr std::array<Table, 4> makeEncryptTables() {
    std::array<Table, 4> tables{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = kSBox[x];
        const std::uint32_t t = word(mul(s, 2), s, s, mul(s, 3));
        for (int k = 0; k < 4; ++k) tables[k][x] = rotr8(t, k);
    }
    return tables;
}

constexpr std::array<Table, 4> makeDecryptTables() {
    std::array<Table, 4> tables{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = kInvSBox[x];
        const std::uint32_t t = word(mul(s, 0x0e), mul(s, 0x09), mul(s, 0x0d), mul(s, 0x0b));
        for (int k = 0; k < 4; ++k) tables[k][x] = rotr8(t, k);
    }
    return tables;
}

constexpr std::array<Table, 4> kTe = makeEncryptTables();
constexpr std::array<Table, 4> kTd = makeDecryptTables();

std::uint32_t loadWord(const std::uint8_t* p) {
    return word(p[0], p[1], p[2], p[3]);
}

void storeWord(std::uint8_t* p, std::uint32_t w) {
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
}

std::uint8_t byteOf(std::uint32_t w, int index) {
    return static_cast<std::uint8_t>(w >> (24 - 8 * index));
}

using RoundKeys = std::array<std::uint32_t, kRoundKeyWords>;

RoundKeys encryptionKeys(const CAes& aes) {
    RoundKeys keys{};
    for (int i = 0; i < kRoundKeyWords; ++i) keys[i] = loadWord(aes.ExpandedKey() + 4 * i);
    return keys;
}

// The equivalent inverse cipher's schedule: rounds in reverse order, the middle ones passed
// through InvMixColumns (Td of S[x] is InvMixColumns of x, since InvSBox undoes SBox).
RoundKeys decryptionKeys(const CAes& aes) {
    const RoundKeys forward = encryptionKeys(aes);
    RoundKeys keys{};
    for (int round = 0; round <= kRounds; ++round) {
        for (int c = 0; c < 4; ++c) {
            std::uint32_t w = forward[4 * (kRounds - round) + c];
            if (round != 0 && round != kRounds) {
                w = kTd[0][kSBox[byteOf(w, 0)]] ^ kTd[1][kSBox[byteOf(w, 1)]] ^
                    kTd[2][kSBox[byteOf(w, 2)]] ^ kTd[3][kSBox[byteOf(w, 3)]];
            }
            keys[4 * round + c] = w;
        }
    }
    return keys;
}

// One block with either table set. shift picks the column each row comes from: +k for the
// cipher's ShiftRows, -k (i.e. 4-k) for the inverse.
template <bool kInverse>
void tableBlock(const RoundKeys& rk, const std::uint8_t* in, std::uint8_t* out) {
    const auto& t = kInverse ? kTd : kTe;
    const auto& sbox = kInverse ? kInvSBox : kSBox;
    constexpr int step = kInverse ? 3 : 1;
    std::uint32_t s[4];
    for (int c = 0; c < 4; ++c) s[c] = loadWord(in + 4 * c) ^ rk[c];
    for (int round = 1; round < kRounds; ++round) {
        std::uint32_t n[4];
        for (int c = 0; c < 4; ++c) {
            n[c] = t[0][byteOf(s[c], 0)] ^ t[1][byteOf(s[(c + step) % 4], 1)] ^
                   t[2][byteOf(s[(c + 2 * step) % 4], 2)] ^ t[3][byteOf(s[(c + 3 * step) % 4], 3)] ^
                   rk[4 * round + c];
        }
        std::memcpy(s, n, sizeof s);
    }
    std::uint32_t last[4];
    for (int c = 0; c < 4; ++c) {
        last[c] =
            word(sbox[byteOf(s[c], 0)], sbox[byteOf(s[(c + step) % 4], 1)],
                 sbox[byteOf(s[(c + 2 * step) % 4], 2)], sbox[byteOf(s[(c + 3 * step) % 4], 3)]) ^
            rk[4 * kRounds + c];
    }
    for (int c = 0; c < 4; ++c) storeWord(out + 4 * c, last[c]);
}

template <bool kInverse>
void tableBlocks(const RoundKeys& rk, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) {
    for (std::size_t i = 0; i < blocks; ++i) tableBlock<kInverse>(rk, in + 16 * i, out + 16 * i);
}

#ifdef VELQUOR_HAVE_AESNI

// ---- Hardware path: eight blocks in flight so the AES unit's latency is hidden.

#define VELQUOR_AESNI __attribute__((target("aes,sse4.1")))

VELQUOR_AESNI void loadRoundKeys(const CAes& aes, __m128i* keys) {
    for (int round = 0; round <= kRounds; ++round) {
        keys[round] =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(aes.ExpandedKey() + 16 * round));
    }
}

template <bool kInverse>
VELQUOR_AESNI inline __m128i aesniRound(__m128i block, __m128i key) {
    if constexpr (kInverse) return _mm_aesdec_si128(block, key);
    return _mm_aesenc_si128(block, key);
}

template <bool kInverse>
VELQUOR_AESNI inline __m128i aesniLastRound(__m128i block, __m128i key) {
    if constexpr (kInverse) return _mm_aesdeclast_si128(block, key);
    return _mm_aesenclast_si128(block, key);
}

VELQUOR_AESNI inline __m128i loadBlock(const std::uint8_t* in, std::size_t index) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * index));
}

VELQUOR_AESNI inline void storeBlock(std::uint8_t* out, std::size_t index, __m128i block) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * index), block);
}

// Eight blocks go through each round together; all are loaded before any is stored, so in
// and out may be the same buffer.
template <bool kInverse>
VELQUOR_AESNI void aesniBlocks(const __m128i* k, const std::uint8_t* in, std::uint8_t* out,
                               std::size_t blocks) {
    std::size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        __m128i b[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) b[j] = _mm_xor_si128(loadBlock(in, i + j), k[0]);
#pragma GCC unroll 9
        for (int round = 1; round < kRounds; ++round) {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) b[j] = aesniRound<kInverse>(b[j], k[round]);
        }
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            storeBlock(out, i + j, aesniLastRound<kInverse>(b[j], k[kRounds]));
    }
    for (; i < blocks; ++i) {
        __m128i b = _mm_xor_si128(loadBlock(in, i), k[0]);
        for (int round = 1; round < kRounds; ++round) b = aesniRound<kInverse>(b, k[round]);
        storeBlock(out, i, aesniLastRound<kInverse>(b, k[kRounds]));
    }
}

VELQUOR_AESNI void aesniEncrypt(const CAes& aes, const std::uint8_t* in, std::uint8_t* out,
                                std::size_t blocks) {
    __m128i k[kRounds + 1];
    loadRoundKeys(aes, k);
    aesniBlocks<false>(k, in, out, blocks);
}

// The instructions implement the equivalent inverse cipher, so the middle round keys go
// through InvMixColumns (aesimc) first; the result equals CAes::InvCipher's.
VELQUOR_AESNI void aesniDecrypt(const CAes& aes, const std::uint8_t* in, std::uint8_t* out,
                                std::size_t blocks) {
    __m128i forward[kRounds + 1];
    loadRoundKeys(aes, forward);
    __m128i k[kRounds + 1];
    k[0] = forward[kRounds];
    for (int round = 1; round < kRounds; ++round) {
        k[round] = _mm_aesimc_si128(forward[kRounds - round]);
    }
    k[kRounds] = forward[0];
    aesniBlocks<true>(k, in, out, blocks);
}

bool useHardware(AesPath path) {
    return path == AesPath::Auto && hardwareAesAvailable();
}

#endif  // VELQUOR_HAVE_AESNI

}  // namespace

bool hardwareAesAvailable() {
#ifdef VELQUOR_HAVE_AESNI
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
    }();
    return available;
#else
    return false;
#endif
}

void encryptBlocks(const CAes& aes, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                   AesPath path) {
    if (blocks == 0) return;
#ifdef VELQUOR_HAVE_AESNI
    if (useHardware(path)) return aesniEncrypt(aes, in, out, blocks);
#endif
    tableBlocks<false>(encryptionKeys(aes), in, out, blocks);
}

void decryptBlocks(const CAes& aes, const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                   AesPath path) {
    if (blocks == 0) return;
#ifdef VELQUOR_HAVE_AESNI
    if (useHardware(path)) return aesniDecrypt(aes, in, out, blocks);
#endif
    tableBlocks<true>(decryptionKeys(aes), in, out, blocks);
}

}  // namespace velquor::crypto
