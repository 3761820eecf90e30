// SHA-256 and SHA-384/512: portable compression functions (SHA-256 also on the processor's
// SHA extensions where present) and the record that picks the variant by digest length.
#include "digest/sha2.h"

#include <bit>
#include <cstring>

#include "digest/acceleration_internal.h"
#include "digest/block_buffer.h"
#include "digest/byte_order.h"

namespace velquor::digest {

namespace {

constexpr std::uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::uint64_t kSha384Initial[8] = {
    0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
    0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr std::uint64_t kSha512Initial[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

constexpr std::uint32_t kSha256Constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr std::uint64_t kSha512Constants[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

// The word-size-specific pieces of the common SHA-2 round structure.
struct Sha256Traits {
    using Word = std::uint32_t;
    static constexpr int kRounds = 64;
    static constexpr const Word* kConstants = kSha256Constants;
    static Word load(const std::uint8_t* p) { return detail::loadBe32(p); }
    static Word bigSigma0(Word x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
    static Word bigSigma1(Word x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
    static Word smallSigma0(Word x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
    static Word smallSigma1(Word x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }
};

struct Sha512Traits {
    using Word = std::uint64_t;
    static constexpr int kRounds = 80;
    static constexpr const Word* kConstants = kSha512Constants;
    static Word load(const std::uint8_t* p) { return detail::loadBe64(p); }
    static Word bigSigma0(Word x) { return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39); }
    static Word bigSigma1(Word x) { return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41); }
    static Word smallSigma0(Word x) { return std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7); }
    static Word smallSigma1(Word x) { return std::rotr(x, 19) ^ std::rotr(x, 61) ^ (x >> 6); }
};

// Round t, with the eight working words named by the caller's rotation.
template <typename T>
inline void round(typename T::Word* w, int t, typename T::Word a, typename T::Word b,
                  typename T::Word c, typename T::Word& d, typename T::Word e,
                  typename T::Word f, typename T::Word g, typename T::Word& h) {
    using Word = typename T::Word;
    Word word;
    if (t < 16) {
        word = w[t];
    } else {
        word = w[t & 15] += T::smallSigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] +
                            T::smallSigma0(w[(t - 15) & 15]);
    }
    const Word t1 = h + T::bigSigma1(e) + (g ^ (e & (f ^ g))) + T::kConstants[t] + word;
    const Word t2 = T::bigSigma0(a) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

template <typename T>
void compressPortable(typename T::Word* chain, const std::uint8_t* p, std::size_t blocks) {
    using Word = typename T::Word;
    for (; blocks > 0; --blocks, p += 16 * sizeof(Word)) {
        Word w[16];
        for (int i = 0; i < 16; ++i) w[i] = T::load(p + i * sizeof(Word));
        Word a = chain[0], b = chain[1], c = chain[2], d = chain[3];
        Word e = chain[4], f = chain[5], g = chain[6], h = chain[7];
        for (int t = 0; t < T::kRounds; t += 8) {
            round<T>(w, t, a, b, c, d, e, f, g, h);
            round<T>(w, t + 1, h, a, b, c, d, e, f, g);
            round<T>(w, t + 2, g, h, a, b, c, d, e, f);
            round<T>(w, t + 3, f, g, h, a, b, c, d, e);
            round<T>(w, t + 4, e, f, g, h, a, b, c, d);
            round<T>(w, t + 5, d, e, f, g, h, a, b, c);
            round<T>(w, t + 6, c, d, e, f, g, h, a, b);
            round<T>(w, t + 7, b, c, d, e, f, g, h, a);
        }
        chain[0] += a;
        chain[1] += b;
        chain[2] += c;
        chain[3] += d;
        chain[4] += e;
        chain[5] += f;
        chain[6] += g;
        chain[7] += h;
    }
}

void compress256(std::uint32_t* chain, const std::uint8_t* p, std::size_t blocks) {
#ifdef VELQUOR_DIGEST_X86
    if (detail::useShaInstructions()) {
        detail::sha256BlocksShaNi(chain, p, blocks);
        return;
    }
#endif
    compressPortable<Sha256Traits>(chain, p, blocks);
}

void add256(Sha256Part& s, const std::uint8_t* data, std::uint32_t count) {
    const std::size_t used = s.byteCount[0] & 63;
    const std::uint64_t bytes =
        ((static_cast<std::uint64_t>(s.byteCount[1]) << 32) | s.byteCount[0]) + count;
    s.byteCount[0] = static_cast<std::uint32_t>(bytes);
    s.byteCount[1] = static_cast<std::uint32_t>(bytes >> 32);
    detail::absorb<64>(reinterpret_cast<std::uint8_t*>(s.block), used, data, count,
                       [&s](const std::uint8_t* blocks, std::size_t n) {
                           compress256(s.chain, blocks, n);
                       });
}

void add512(Sha512Part& s, const std::uint8_t* data, std::uint32_t count) {
    const std::size_t used = s.byteCount[0] & 127;
    s.byteCount[0] += count;
    if (s.byteCount[0] < count) ++s.byteCount[1];
    detail::absorb<128>(reinterpret_cast<std::uint8_t*>(s.block), used, data, count,
                        [&s](const std::uint8_t* blocks, std::size_t n) {
                            compressPortable<Sha512Traits>(s.chain, blocks, n);
                        });
}

void finish256(Sha256Part& s, std::uint8_t* out) {
    const std::uint64_t bits =
        ((static_cast<std::uint64_t>(s.byteCount[1]) << 32) | s.byteCount[0]) << 3;
    std::uint8_t lengthBytes[8];
    detail::storeBe64(lengthBytes, bits);
    const std::size_t used = s.byteCount[0] & 63;
    add256(s, detail::kPadding, static_cast<std::uint32_t>(detail::paddingLength(used, 64, 8)));
    add256(s, lengthBytes, 8);
    for (int i = 0; i < 8; ++i) detail::storeBe32(out + 4 * i, s.chain[i]);
}

void finish512(Sha512Part& s, std::uint8_t* out, std::uint32_t digestLength) {
    std::uint8_t lengthBytes[16];
    detail::storeBe64(lengthBytes, (s.byteCount[1] << 3) | (s.byteCount[0] >> 61));
    detail::storeBe64(lengthBytes + 8, s.byteCount[0] << 3);
    const std::size_t used = s.byteCount[0] & 127;
    add512(s, detail::kPadding, static_cast<std::uint32_t>(detail::paddingLength(used, 128, 16)));
    add512(s, lengthBytes, 16);
    std::uint8_t full[64];
    for (int i = 0; i < 8; ++i) detail::storeBe64(full + 8 * i, s.chain[i]);
    std::memcpy(out, full, digestLength);
}

}  // namespace

int Sha2State::start(int size) {
    switch (size) {
        case 256:
        case 32:
            std::memset(&s256, 0, sizeof s256);
            std::memcpy(s256.chain, kSha256Initial, sizeof kSha256Initial);
            digestLength = 32;
            return 0;
        case 384:
        case 48:
            std::memset(&s512, 0, sizeof s512);
            std::memcpy(s512.chain, kSha384Initial, sizeof kSha384Initial);
            digestLength = 48;
            return 0;
        case 512:
        case 64:
            std::memset(&s512, 0, sizeof s512);
            std::memcpy(s512.chain, kSha512Initial, sizeof kSha512Initial);
            digestLength = 64;
            return 0;
        default:
            return 1;
    }
}

void Sha2State::add(const void* data, std::uint32_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (digestLength == 32) {
        add256(s256, bytes, count);
    } else {
        add512(s512, bytes, count);
    }
}

void Sha2State::finish(std::uint8_t* out) {
    if (digestLength == 32) {
        finish256(s256, out);
    } else {
        finish512(s512, out, digestLength);
    }
}

}  // namespace velquor::digest
