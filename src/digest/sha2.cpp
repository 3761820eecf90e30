// SHA-256 and SHA-384/512: portable compression functions (SHA-256 also on the processor's
// SHA extensions where present) and the record that picks the variant by digest length.
#include "digest/sha2.h"

#include <bit>
#include <cstring>

#include "digest/acceleration_internal.h"
#include "digest/block_buffer.h"
#include "digest/byte_order.h"
#include "digest/sha2_constants.h"

namespace velquor::digest {

namespace {

using detail::kSha256Constants;
using detail::kSha512Constants;

constexpr std::uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::uint64_t kSha384Initial[8] = {
    0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17, 0x152fecd8f70e5939,
    0x67332667ffc00b31, 0x8eb44a8768581511, 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr std::uint64_t kSha512Initial[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

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
                  typename T::Word c, typename T::Word& d, typename T::Word e, typename T::Word f,
                  typename T::Word g, typename T::Word& h) {
    using Word = typename T::Word;
    Word word;
    if (t < 16) {
        word = w[t];
    } else {
        word = w[t & 15] +=
            T::smallSigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] + T::smallSigma0(w[(t - 15) & 15]);
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

void compress512(std::uint64_t* chain, const std::uint8_t* p, std::size_t blocks) {
#ifdef VELQUOR_DIGEST_X86
    if (detail::useAvx512Sha512()) {
        detail::sha512BlocksAvx512(chain, p, blocks);
        return;
    }
#endif
    compressPortable<Sha512Traits>(chain, p, blocks);
}

void add256(Sha256Part& s, const void* data, std::uint32_t count) {
    detail::absorbCounted<64, 0>(
        s.byteCount, reinterpret_cast<std::uint8_t*>(s.block), data, count,
        [&s](const std::uint8_t* blocks, std::size_t n) { compress256(s.chain, blocks, n); });
}

void add512(Sha512Part& s, const void* data, std::uint32_t count) {
    const std::size_t used = s.byteCount[0] & 127;
    s.byteCount[0] += count;
    if (s.byteCount[0] < count) ++s.byteCount[1];
    detail::absorb<128>(
        reinterpret_cast<std::uint8_t*>(s.block), used, static_cast<const std::uint8_t*>(data),
        count,
        [&s](const std::uint8_t* blocks, std::size_t n) { compress512(s.chain, blocks, n); });
}

void finish256(Sha256Part& s, std::uint8_t* out) {
    std::uint8_t lengthBytes[8];
    detail::storeBe64(lengthBytes, detail::wideCount(s.byteCount) << 3);
    detail::appendPadding<64>(s.byteCount[0] & 63, lengthBytes,
                              [&s](const void* p, std::uint32_t n) { add256(s, p, n); });
    for (int i = 0; i < 8; ++i) detail::storeBe32(out + 4 * i, s.chain[i]);
}

void finish512(Sha512Part& s, std::uint8_t* out, std::uint32_t digestLength) {
    std::uint8_t lengthBytes[16];
    detail::storeBe64(lengthBytes, (s.byteCount[1] << 3) | (s.byteCount[0] >> 61));
    detail::storeBe64(lengthBytes + 8, s.byteCount[0] << 3);
    detail::appendPadding<128>(s.byteCount[0] & 127, lengthBytes,
                               [&s](const void* p, std::uint32_t n) { add512(s, p, n); });
    std::uint8_t full[64];
    for (int i = 0; i < 8; ++i) detail::storeBe64(full + 8 * i, s.chain[i]);
    std::memcpy(out, full, digestLength);
}

// The digest length a start size asks for: 256 or 32 give 32, and so on; 0 for no variant.
std::uint32_t digestLengthFor(int size) {
    switch (size) {
        case 256:
        case 32:
            return 32;
        case 384:
        case 48:
            return 48;
        case 512:
        case 64:
            return 64;
        default:
            return 0;
    }
}

// Clears one variant's record and loads its initial words.
template <typename Part, typename Word>
void restart(Part& part, const Word (&initial)[8]) {
    std::memset(&part, 0, sizeof part);
    std::memcpy(part.chain, initial, sizeof initial);
}

}  // namespace

int Sha2State::start(int size) {
    const std::uint32_t length = digestLengthFor(size);
    if (length == 0) return 1;
    if (length == 32) {
        restart(s256, kSha256Initial);
    } else {
        restart(s512, length == 48 ? kSha384Initial : kSha512Initial);
    }
    digestLength = length;
    return 0;
}

void Sha2State::add(const void* data, std::uint32_t count) {
    if (digestLength == 32) {
        add256(s256, data, count);
    } else {
        add512(s512, data, count);
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
