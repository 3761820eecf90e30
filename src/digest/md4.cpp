// MD4: three rounds over 64-byte blocks, little-endian words.
#include "digest/md4.h"

#include <bit>
#include <cstring>

#include "digest/block_buffer.h"
#include "digest/byte_order.h"

namespace velquor::digest {

namespace {

void compress(std::uint32_t* chain, const std::uint8_t* block) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = detail::loadLe32(block + 4 * i);
    std::uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];

    auto f = [](std::uint32_t x1, std::uint32_t y, std::uint32_t z) { return z ^ (x1 & (y ^ z)); };
    auto g = [](std::uint32_t x1, std::uint32_t y, std::uint32_t z) {
        return (x1 & y) | (x1 & z) | (y & z);
    };
    auto h = [](std::uint32_t x1, std::uint32_t y, std::uint32_t z) { return x1 ^ y ^ z; };

    static constexpr int kRound1Shifts[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; i += 4) {
        a = std::rotl(a + f(b, c, d) + x[i], kRound1Shifts[0]);
        d = std::rotl(d + f(a, b, c) + x[i + 1], kRound1Shifts[1]);
        c = std::rotl(c + f(d, a, b) + x[i + 2], kRound1Shifts[2]);
        b = std::rotl(b + f(c, d, a) + x[i + 3], kRound1Shifts[3]);
    }
    constexpr std::uint32_t kRound2 = 0x5A827999u;
    for (int i = 0; i < 4; ++i) {
        a = std::rotl(a + g(b, c, d) + x[i] + kRound2, 3);
        d = std::rotl(d + g(a, b, c) + x[i + 4] + kRound2, 5);
        c = std::rotl(c + g(d, a, b) + x[i + 8] + kRound2, 9);
        b = std::rotl(b + g(c, d, a) + x[i + 12] + kRound2, 13);
    }
    constexpr std::uint32_t kRound3 = 0x6ED9EBA1u;
    static constexpr int kRound3Order[4] = {0, 2, 1, 3};
    for (int i : kRound3Order) {
        a = std::rotl(a + h(b, c, d) + x[i] + kRound3, 3);
        d = std::rotl(d + h(a, b, c) + x[i + 8] + kRound3, 9);
        c = std::rotl(c + h(d, a, b) + x[i + 4] + kRound3, 11);
        b = std::rotl(b + h(c, d, a) + x[i + 12] + kRound3, 15);
    }
    chain[0] += a;
    chain[1] += b;
    chain[2] += c;
    chain[3] += d;
}

}  // namespace

void Md4State::start() {
    chain[0] = 0x67452301u;
    chain[1] = 0xEFCDAB89u;
    chain[2] = 0x98BADCFEu;
    chain[3] = 0x10325476u;
    bitCount[0] = bitCount[1] = 0;
    std::memset(buffer, 0, sizeof buffer);
}

void Md4State::add(const void* data, std::uint32_t count) {
    detail::absorbCounted<64, 3>(bitCount, buffer, data, count,
                                 [this](const std::uint8_t* blocks, std::size_t n) {
                                     for (std::size_t i = 0; i < n; ++i) {
                                         compress(chain, blocks + 64 * i);
                                     }
                                 });
}

void Md4State::finish(std::uint8_t out[16]) {
    std::uint8_t lengthBytes[8];
    detail::storeLe64(lengthBytes, detail::wideCount(bitCount));
    detail::appendPadding<64>((bitCount[0] >> 3) & 63, lengthBytes,
                              [this](const void* p, std::uint32_t n) { add(p, n); });
    for (int i = 0; i < 4; ++i) detail::storeLe32(out + 4 * i, chain[i]);
    std::memset(static_cast<void*>(this), 0, sizeof *this);
}

}  // namespace velquor::digest
