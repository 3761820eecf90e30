// MD5 of many messages side by side. Each lane of a vector carries one message: the lanes are
// fed block by block, a message's own whole blocks first, then its last one or two blocks (its
// tail, the padding and the length) from a buffer of the lane's own. A lane whose message is
// done takes the next message at once, so messages of unequal lengths keep every lane busy
// until the last few.
//
// The vector code is written once over GCC's vector types and always inlined into functions
// with the AVX-512 or the AVX2 target, one for each number of registers worked in step: the
// build needs no machine flags and the processor is asked at run time which one to use.
#include "digest/md5_lanes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "digest/acceleration.h"
#include "digest/acceleration_internal.h"
#include "digest/byte_order.h"
#include "digest/md5.h"

namespace velquor::digest {

namespace {

Md5Digest md5Of(std::span<const std::byte> message) {
    Md5State state;
    state.start();
    const std::byte* data = message.data();
    std::size_t left = message.size();
    while (left > 0) {  // Md5State takes at most 4 GiB - 1 at a time
        const std::size_t take = std::min<std::size_t>(left, std::size_t{1} << 30);
        state.add(data, static_cast<std::uint32_t>(take));
        data += take;
        left -= take;
    }
    state.finish();
    Md5Digest digest;
    std::memcpy(digest.data(), state.digest, digest.size());
    return digest;
}

std::vector<Md5Digest> md5OfEachInTurn(std::span<const std::span<const std::byte>> messages) {
    std::vector<Md5Digest> digests;
    digests.reserve(messages.size());
    for (const auto message : messages) digests.push_back(md5Of(message));
    return digests;
}

}  // namespace

#ifdef VELQUOR_DIGEST_X86

namespace {

constexpr std::uint32_t kInitialChain[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// The additive constant of each step: the integer part of |sin(step + 1)| * 2^32.
constexpr std::uint32_t kStepConstants[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Each round's four rotations, used in turn by its sixteen steps.
constexpr int kRotations[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// The block word a step adds: in order, then 1 + 5i, 5 + 3i and 7i (mod 16) in rounds 2 to 4.
constexpr int blockWord(int step) {
    switch (step / 16) {
        case 0:
            return step;
        case 1:
            return (1 + 5 * step) % 16;
        case 2:
            return (5 + 3 * step) % 16;
        default:
            return (7 * step) % 16;
    }
}

// N 32-bit lanes. Vectors are passed by reference only: these functions are always inlined into
// the target functions below, and a vector passed by value would have no ABI outside them.
template <int N>
struct Lanes {
    typedef std::uint32_t Vector __attribute__((vector_size(4 * N)));
};

// One step of one round in every lane. The roles a, b, c, d move one place along the four
// chain words at each step; the round function is written plainly and the compiler makes one
// ternary-logic instruction of it where the processor has one.
template <typename V, int Step>
[[gnu::always_inline]] inline void step(V (&chain)[4], const V (&words)[16]) {
    V& a = chain[(4 - Step % 4) % 4];
    const V& b = chain[(5 - Step % 4) % 4];
    const V& c = chain[(6 - Step % 4) % 4];
    const V& d = chain[(7 - Step % 4) % 4];
    V mixed;
    if constexpr (Step < 16) {
        mixed = d ^ (b & (c ^ d));
    } else if constexpr (Step < 32) {
        mixed = (b & d) | (c & ~d);
    } else if constexpr (Step < 48) {
        mixed = b ^ c ^ d;
    } else {
        mixed = c ^ (b | ~d);
    }
    // The word and constant are added to a before the round function's result, which is the
    // last to be ready.
    const V sum = (a + (words[blockWord(Step)] + kStepConstants[Step])) + mixed;
    constexpr int rotation = kRotations[Step / 16][Step % 4];
    a = b + ((sum << rotation) | (sum >> (32 - rotation)));
}

// Every step, each taken in all G groups before the next: the groups' chains do not depend on
// each other, so the processor works on G steps at once where one chain would leave it waiting.
template <typename V, int G, int Step>
[[gnu::always_inline]] inline void stepInEveryGroup(V (&chains)[G][4], const V (&words)[G][16]) {
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) step<V, Step>(chains[g], words[g]);
}

template <typename V, int G, std::size_t... Steps>
[[gnu::always_inline]] inline void allSteps(V (&chains)[G][4], const V (&words)[G][16],
                                            std::index_sequence<Steps...>) {
    (stepInEveryGroup<V, G, static_cast<int>(Steps)>(chains, words), ...);
}

// The transposition of N rows of N words, a level at a time: at level S, every 2S x 2S square
// swaps its upper right S x S quarter with its lower left one. Row `upper` has bit S clear and
// `lower` is the row S below it; the indices pick from the pair laid end to end.
template <int N, int S>
constexpr int upperPick(int j) {
    return (j & S) != 0 ? N + j - S : j;
}
template <int N, int S>
constexpr int lowerPick(int j) {
    return (j & S) != 0 ? N + j : j + S;
}

template <typename V, int N, int S, std::size_t... J>
[[gnu::always_inline]] inline void swapQuarters(V& upper, V& lower, std::index_sequence<J...>) {
    const V newUpper = __builtin_shufflevector(upper, lower, upperPick<N, S>(J)...);
    const V newLower = __builtin_shufflevector(upper, lower, lowerPick<N, S>(J)...);
    upper = newUpper;
    lower = newLower;
}

template <typename V, int N, int S>
[[gnu::always_inline]] inline void transpose(V* rows) {
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
        if ((i & S) == 0)
            swapQuarters<V, N, S>(rows[i], rows[i + S], std::make_index_sequence<N>{});
    }
    if constexpr (S > 1) transpose<V, N, S / 2>(rows);
}

// How far ahead of each lane its bytes are asked for: every lane reads a stream of its own, more
// streams than the processor follows by itself. Two blocks ahead served best in
// bench_md5_lanes (half again as fast as none for messages out of the caches).
constexpr std::size_t kPrefetchAhead = 128;

// Runs `count` blocks through G groups of N lanes: lane i reads its blocks at blocks[i], each
// the next 64 bytes on (stride 64) or the same block again (stride 0, an idle lane). The chain
// is four rows of G * N words, word-major.
template <int N, int G>
[[gnu::always_inline]] inline void runBlocks(std::uint32_t* chainWords,
                                             const std::uint8_t* const* blocks,
                                             const std::size_t* strides, std::size_t count) {
    using V = typename Lanes<N>::Vector;
    constexpr int kLanes = N * G;
    V chains[G][4];
    for (int g = 0; g < G; ++g) {
        for (int w = 0; w < 4; ++w) {
            std::memcpy(&chains[g][w], chainWords + w * kLanes + g * N, sizeof(V));
        }
    }
    const std::uint8_t* next[kLanes];
    std::copy(blocks, blocks + kLanes, next);
    for (; count > 0; --count) {
        // Row i holds N consecutive words of lane i; transposed, row w holds word w of every
        // lane. A block of 16 words takes 16 / N such squares.
        V words[G][16];
        for (int g = 0; g < G; ++g) {
#pragma GCC unroll 2
            for (int part = 0; part < 16 / N; ++part) {
                V* rows = words[g] + part * N;
#pragma GCC unroll 16
                for (int i = 0; i < N; ++i) {
                    std::memcpy(&rows[i], next[g * N + i] + part * N * 4, sizeof(V));
                }
                transpose<V, N, N / 2>(rows);
            }
        }
        V before[G][4];
        std::memcpy(before, chains, sizeof chains);
        allSteps<V, G>(chains, words, std::make_index_sequence<64>{});
        for (int g = 0; g < G; ++g) {
            for (int w = 0; w < 4; ++w) chains[g][w] += before[g][w];
        }
        for (int i = 0; i < kLanes; ++i) {
            next[i] += strides[i];
            __builtin_prefetch(next[i] + kPrefetchAhead);
        }
    }
    for (int g = 0; g < G; ++g) {
        for (int w = 0; w < 4; ++w) {
            std::memcpy(chainWords + w * kLanes + g * N, &chains[g][w], sizeof(V));
        }
    }
}

#define VELQUOR_MD5_AVX512_TARGET __attribute__((target("avx512f")))
#define VELQUOR_MD5_AVX2_TARGET __attribute__((target("avx2")))

template <int G>
VELQUOR_MD5_AVX512_TARGET void runBlocks16(std::uint32_t* chainWords,
                                           const std::uint8_t* const* blocks,
                                           const std::size_t* strides, std::size_t count) {
    runBlocks<16, G>(chainWords, blocks, strides, count);
}

template <int G>
VELQUOR_MD5_AVX2_TARGET void runBlocks8(std::uint32_t* chainWords,
                                        const std::uint8_t* const* blocks,
                                        const std::size_t* strides, std::size_t count) {
    runBlocks<8, G>(chainWords, blocks, strides, count);
}

using BlockRunner = void (*)(std::uint32_t*, const std::uint8_t* const*, const std::size_t*,
                             std::size_t);

// Measured with bench_md5_lanes' messages held in the caches: a processor with 16 or 8 lanes
// to a register digests the most with four registers' chains in step (about 16 and 6 times
// one message at a time on a Zen 5); with one register the chain of steps leaves it waiting,
// with more the registers run out.
constexpr int kMostGroups = 4;
constexpr std::size_t kMaxLanes = 16 * kMostGroups;

// The runner for a batch: as few registers as carry all its messages at once, at most four.
struct LaneRunner {
    std::size_t lanes;
    BlockRunner run;
};

LaneRunner laneRunner(int vectorLanes, std::size_t messages) {
    const auto width = static_cast<std::size_t>(vectorLanes);
    const bool wide = vectorLanes == 16;
    if (messages <= width) return {width, wide ? runBlocks16<1> : runBlocks8<1>};
    if (messages <= 2 * width) return {2 * width, wide ? runBlocks16<2> : runBlocks8<2>};
    return {kMostGroups * width, wide ? runBlocks16<kMostGroups> : runBlocks8<kMostGroups>};
}

constexpr std::size_t kIdle = std::numeric_limits<std::size_t>::max();
alignas(64) constexpr std::uint8_t kIdleBlock[64] = {};

// One lane's place in its message: the blocks it reads until the next change of source.
struct Lane {
    std::size_t message = kIdle;
    const std::uint8_t* block = kIdleBlock;
    std::size_t blocksLeft = kIdle;
    bool inLastBlocks = false;
    std::uint8_t last[128];  // the message's last bytes, 0x80, zeros, its length in bits
};

// The lanes of one md5OfEach call, fed the longest messages first: the last to start are the
// shortest, so that few lanes idle while the others finish.
class LaneFeeder {
public:
    LaneFeeder(std::span<const std::span<const std::byte>> messages, std::size_t laneCount)
        : m_messages(messages),
          m_laneCount(laneCount),
          m_digests(messages.size()),
          m_order(messages.size()) {
        for (std::size_t i = 0; i < m_order.size(); ++i) m_order[i] = i;
        std::stable_sort(m_order.begin(), m_order.end(), [messages](std::size_t a, std::size_t b) {
            return messages[a].size() > messages[b].size();
        });
        for (std::size_t i = 0; i < laneCount; ++i) takeNextMessage(i);
    }

    // Digests every message with runner, which carries laneCount lanes.
    std::vector<Md5Digest> run(BlockRunner runner) {
        const std::uint8_t* blocks[kMaxLanes];
        std::size_t strides[kMaxLanes];
        for (std::size_t together = blocksTogether(); together > 0; together = blocksTogether()) {
            for (std::size_t i = 0; i < m_laneCount; ++i) {
                blocks[i] = m_lanes[i].block;
                strides[i] = m_lanes[i].message == kIdle ? 0 : 64;
            }
            runner(m_chain, blocks, strides, together);
            advance(together);
        }
        return std::move(m_digests);
    }

private:
    // How many blocks every busy lane still reads from its present source; 0 when all are idle.
    std::size_t blocksTogether() const {
        std::size_t fewest = kIdle;
        for (std::size_t i = 0; i < m_laneCount; ++i) {
            fewest = std::min(fewest, m_lanes[i].blocksLeft);
        }
        return fewest == kIdle ? 0 : fewest;
    }

    void advance(std::size_t blocks) {
        for (std::size_t i = 0; i < m_laneCount; ++i) {
            Lane& lane = m_lanes[i];
            if (lane.message == kIdle) continue;
            lane.block += 64 * blocks;
            lane.blocksLeft -= blocks;
            if (lane.blocksLeft > 0) continue;
            if (!lane.inLastBlocks) {
                readLastBlocks(i);
            } else {
                keepDigest(i);
                takeNextMessage(i);
            }
        }
    }

    void takeNextMessage(std::size_t i) {
        Lane& lane = m_lanes[i];
        if (m_nextMessage == m_order.size()) {
            lane = Lane{};
            return;
        }
        lane.message = m_order[m_nextMessage++];
        const auto message = m_messages[lane.message];
        for (int w = 0; w < 4; ++w) m_chain[w * m_laneCount + i] = kInitialChain[w];
        lane.block = reinterpret_cast<const std::uint8_t*>(message.data());
        lane.blocksLeft = message.size() / 64;
        lane.inLastBlocks = false;
        if (lane.blocksLeft == 0) readLastBlocks(i);
    }

    // Switches lane i to its message's end: the bytes past its last whole block, 0x80, zeros
    // and the length in bits, in one block or, when fewer than 9 bytes are left, in two.
    void readLastBlocks(std::size_t i) {
        Lane& lane = m_lanes[i];
        const auto message = m_messages[lane.message];
        const std::size_t tail = message.size() % 64;
        const std::size_t blocks = tail < 56 ? 1 : 2;
        std::memset(lane.last, 0, sizeof lane.last);
        if (tail > 0) std::memcpy(lane.last, message.data() + (message.size() - tail), tail);
        lane.last[tail] = 0x80;
        detail::storeLe64(lane.last + 64 * blocks - 8, std::uint64_t{message.size()} << 3);
        lane.block = lane.last;
        lane.blocksLeft = blocks;
        lane.inLastBlocks = true;
    }

    void keepDigest(std::size_t i) {
        Md5Digest& digest = m_digests[m_lanes[i].message];
        for (int w = 0; w < 4; ++w) {
            detail::storeLe32(digest.data() + 4 * w, m_chain[w * m_laneCount + i]);
        }
    }

    std::span<const std::span<const std::byte>> m_messages;
    std::size_t m_laneCount;
    std::vector<Md5Digest> m_digests;
    std::vector<std::size_t> m_order;  // message indices, longest first
    std::size_t m_nextMessage = 0;     // in m_order
    Lane m_lanes[kMaxLanes];
    alignas(64) std::uint32_t m_chain[4 * kMaxLanes] = {};
};

// 16 (AVX-512), 8 (AVX2) or 1 (neither, or acceleration forbidden).
int vectorLanesNow() {
    const Acceleration active = activeAcceleration();
    return active.md5Lanes16 ? 16 : active.md5Lanes8 ? 8 : 1;
}

}  // namespace

namespace detail {

std::vector<Md5Digest> md5OfEachInLanes(std::span<const std::span<const std::byte>> messages,
                                        int vectorLanes) {
    const LaneRunner runner = laneRunner(vectorLanes, messages.size());
    LaneFeeder feeder(messages, runner.lanes);
    return feeder.run(runner.run);
}

}  // namespace detail

std::vector<Md5Digest> md5OfEach(std::span<const std::span<const std::byte>> messages) {
    const int vectorLanes = vectorLanesNow();
    // A register's steps take a little longer than one message's on its own; two messages come
    // out about even, three are a good deal quicker side by side.
    if (vectorLanes == 1 || messages.size() < 3) return md5OfEachInTurn(messages);
    return detail::md5OfEachInLanes(messages, vectorLanes);
}

int md5LaneCount() {
    const int vectorLanes = vectorLanesNow();
    return vectorLanes == 1 ? 1 : vectorLanes * kMostGroups;
}

#else

std::vector<Md5Digest> md5OfEach(std::span<const std::span<const std::byte>> messages) {
    return md5OfEachInTurn(messages);
}

int md5LaneCount() {
    return 1;
}

#endif

}  // namespace velquor::digest
