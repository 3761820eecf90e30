// MD5: four rounds over 64-byte blocks, and Md5File.
#include "digest/md5.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <stop_token>

#include "digest/acceleration_internal.h"
#include "digest/block_buffer.h"
#include "digest/byte_order.h"
#include "digest/file_reader.h"

namespace velquor::digest {

namespace {

// The four round functions in the forms that schedule best: F and I avoid a NOT on the
// critical path, G's two terms share no bits so it can be an add.
inline std::uint32_t roundF(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return d ^ (b & (c ^ d));
}
inline std::uint32_t roundG(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (b & d) + (c & ~d);
}
inline std::uint32_t roundH(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return b ^ c ^ d;
}
inline std::uint32_t roundI(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return c ^ (b | ~d);
}

template <std::uint32_t (*Round)(std::uint32_t, std::uint32_t, std::uint32_t), int Shift>
inline void step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t wordPlusConstant) {
    a = b + std::rotl(a + wordPlusConstant + Round(b, c, d), Shift);
}

void compress(std::uint32_t* chain, const std::uint8_t* p, std::size_t blocks) {
    std::uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
    for (; blocks > 0; --blocks, p += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = detail::loadLe32(p + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        step<roundF, 7>(a, b, c, d, x[0] + 0xd76aa478);
        step<roundF, 12>(d, a, b, c, x[1] + 0xe8c7b756);
        step<roundF, 17>(c, d, a, b, x[2] + 0x242070db);
        step<roundF, 22>(b, c, d, a, x[3] + 0xc1bdceee);
        step<roundF, 7>(a, b, c, d, x[4] + 0xf57c0faf);
        step<roundF, 12>(d, a, b, c, x[5] + 0x4787c62a);
        step<roundF, 17>(c, d, a, b, x[6] + 0xa8304613);
        step<roundF, 22>(b, c, d, a, x[7] + 0xfd469501);
        step<roundF, 7>(a, b, c, d, x[8] + 0x698098d8);
        step<roundF, 12>(d, a, b, c, x[9] + 0x8b44f7af);
        step<roundF, 17>(c, d, a, b, x[10] + 0xffff5bb1);
        step<roundF, 22>(b, c, d, a, x[11] + 0x895cd7be);
        step<roundF, 7>(a, b, c, d, x[12] + 0x6b901122);
        step<roundF, 12>(d, a, b, c, x[13] + 0xfd987193);
        step<roundF, 17>(c, d, a, b, x[14] + 0xa679438e);
        step<roundF, 22>(b, c, d, a, x[15] + 0x49b40821);

        step<roundG, 5>(a, b, c, d, x[1] + 0xf61e2562);
        step<roundG, 9>(d, a, b, c, x[6] + 0xc040b340);
        step<roundG, 14>(c, d, a, b, x[11] + 0x265e5a51);
        step<roundG, 20>(b, c, d, a, x[0] + 0xe9b6c7aa);
        step<roundG, 5>(a, b, c, d, x[5] + 0xd62f105d);
        step<roundG, 9>(d, a, b, c, x[10] + 0x02441453);
        step<roundG, 14>(c, d, a, b, x[15] + 0xd8a1e681);
        step<roundG, 20>(b, c, d, a, x[4] + 0xe7d3fbc8);
        step<roundG, 5>(a, b, c, d, x[9] + 0x21e1cde6);
        step<roundG, 9>(d, a, b, c, x[14] + 0xc33707d6);
        step<roundG, 14>(c, d, a, b, x[3] + 0xf4d50d87);
        step<roundG, 20>(b, c, d, a, x[8] + 0x455a14ed);
        step<roundG, 5>(a, b, c, d, x[13] + 0xa9e3e905);
        step<roundG, 9>(d, a, b, c, x[2] + 0xfcefa3f8);
        step<roundG, 14>(c, d, a, b, x[7] + 0x676f02d9);
        step<roundG, 20>(b, c, d, a, x[12] + 0x8d2a4c8a);

        step<roundH, 4>(a, b, c, d, x[5] + 0xfffa3942);
        step<roundH, 11>(d, a, b, c, x[8] + 0x8771f681);
        step<roundH, 16>(c, d, a, b, x[11] + 0x6d9d6122);
        step<roundH, 23>(b, c, d, a, x[14] + 0xfde5380c);
        step<roundH, 4>(a, b, c, d, x[1] + 0xa4beea44);
        step<roundH, 11>(d, a, b, c, x[4] + 0x4bdecfa9);
        step<roundH, 16>(c, d, a, b, x[7] + 0xf6bb4b60);
        step<roundH, 23>(b, c, d, a, x[10] + 0xbebfbc70);
        step<roundH, 4>(a, b, c, d, x[13] + 0x289b7ec6);
        step<roundH, 11>(d, a, b, c, x[0] + 0xeaa127fa);
        step<roundH, 16>(c, d, a, b, x[3] + 0xd4ef3085);
        step<roundH, 23>(b, c, d, a, x[6] + 0x04881d05);
        step<roundH, 4>(a, b, c, d, x[9] + 0xd9d4d039);
        step<roundH, 11>(d, a, b, c, x[12] + 0xe6db99e5);
        step<roundH, 16>(c, d, a, b, x[15] + 0x1fa27cf8);
        step<roundH, 23>(b, c, d, a, x[2] + 0xc4ac5665);

        step<roundI, 6>(a, b, c, d, x[0] + 0xf4292244);
        step<roundI, 10>(d, a, b, c, x[7] + 0x432aff97);
        step<roundI, 15>(c, d, a, b, x[14] + 0xab9423a7);
        step<roundI, 21>(b, c, d, a, x[5] + 0xfc93a039);
        step<roundI, 6>(a, b, c, d, x[12] + 0x655b59c3);
        step<roundI, 10>(d, a, b, c, x[3] + 0x8f0ccc92);
        step<roundI, 15>(c, d, a, b, x[10] + 0xffeff47d);
        step<roundI, 21>(b, c, d, a, x[1] + 0x85845dd1);
        step<roundI, 6>(a, b, c, d, x[8] + 0x6fa87e4f);
        step<roundI, 10>(d, a, b, c, x[15] + 0xfe2ce6e0);
        step<roundI, 15>(c, d, a, b, x[6] + 0xa3014314);
        step<roundI, 21>(b, c, d, a, x[13] + 0x4e0811a1);
        step<roundI, 6>(a, b, c, d, x[4] + 0xf7537e82);
        step<roundI, 10>(d, a, b, c, x[11] + 0xbd3af235);
        step<roundI, 15>(c, d, a, b, x[2] + 0x2ad7d2bb);
        step<roundI, 21>(b, c, d, a, x[9] + 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    chain[0] = a;
    chain[1] = b;
    chain[2] = c;
    chain[3] = d;
}

}  // namespace

void Md5State::start() {
    bitCount[0] = bitCount[1] = 0;
    chain[0] = 0x67452301u;
    chain[1] = 0xEFCDAB89u;
    chain[2] = 0x98BADCFEu;
    chain[3] = 0x10325476u;
    std::memset(buffer, 0, sizeof buffer);
    std::memset(digest, 0, sizeof digest);
}

void Md5State::add(const void* data, std::uint32_t count) {
    detail::absorbCounted<64, 3>(
        bitCount, buffer, data, count,
        [this](const std::uint8_t* blocks, std::size_t n) { compress(chain, blocks, n); });
}

void Md5State::finish() {
    std::uint8_t lengthBytes[8];
    detail::storeLe64(lengthBytes, detail::wideCount(bitCount));
    detail::appendPadding<64>((bitCount[0] >> 3) & 63, lengthBytes,
                              [this](const void* p, std::uint32_t n) { add(p, n); });
    for (int i = 0; i < 4; ++i) detail::storeLe32(digest + 4 * i, chain[i]);
}

std::uint64_t Md5File(const char* path, Md5State& state) {
    if (path == nullptr || *path == '\0') return 0;
    Md5State working;
    working.start();
    support::NullProgress quiet;
    const auto read = detail::streamFile(
        path,
        [&working](const std::uint8_t* data, std::size_t count) {
            working.add(data, static_cast<std::uint32_t>(count));
        },
        quiet, std::stop_token{});
    if (!read) return 0;
    working.finish();
    state = working;
    return *read;
}

void md5Each(std::span<const std::span<const std::uint8_t>> messages,
             std::uint8_t (*digests)[Md5State::kDigestSize]) {
    std::size_t done = 0;
#ifdef VELQUOR_DIGEST_X86
    const auto lanes = detail::useMd5Lanes()       ? detail::md5EightLanesAvx512
                       : detail::useMd5LanesAvx2() ? detail::md5EightLanesAvx2
                                                   : nullptr;
    // A single message gains nothing from the lanes.
    while (lanes != nullptr && messages.size() - done >= 2) {
        const std::size_t count = std::min<std::size_t>(messages.size() - done, 8);
        lanes(messages.data() + done, count, digests + done);
        done += count;
    }
#endif
    for (; done < messages.size(); ++done) {
        Md5State state;
        state.start();
        std::span<const std::uint8_t> rest = messages[done];
        while (!rest.empty()) {
            const auto chunk =
                static_cast<std::uint32_t>(std::min<std::size_t>(rest.size(), UINT32_MAX));
            state.add(rest.data(), chunk);
            rest = rest.subspan(chunk);
        }
        state.finish();
        std::memcpy(digests[done], state.digest, Md5State::kDigestSize);
    }
}

}  // namespace velquor::digest
