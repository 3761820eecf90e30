// The contracts of the units beyond their vectors: start codes, clearing after finish, the
// block-boundary lengths, and the file routines of CRC-32 and MD5.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "digest/acceleration_internal.h"
#include "digest/crc32.h"
#include "digest/md2.h"
#include "digest/md4.h"
#include "digest/md5.h"
#include "digest/sha2.h"
#include "digest_test_support.h"
#include "temp_dir.h"

namespace velquor::digest::testing {
namespace {

using velquor::testing::TempDir;
using velquor::testing::writeFile;

std::string sha2Hex(int size, std::string_view message) {
    Sha2State state;
    EXPECT_EQ(state.start(size), 0);
    state.add(message.data(), static_cast<std::uint32_t>(message.size()));
    std::uint8_t out[64];
    state.finish(out);
    return toHex(std::string_view(reinterpret_cast<const char*>(out), state.digestLength));
}

TEST(Sha2Unit, ByteSizesActAsBitSizes) {
    EXPECT_EQ(sha2Hex(32, "abc"), sha2Hex(256, "abc"));
    EXPECT_EQ(sha2Hex(48, "abc"), sha2Hex(384, "abc"));
    EXPECT_EQ(sha2Hex(64, "abc"), sha2Hex(512, "abc"));
    EXPECT_EQ(sha2Hex(256, "abc").size(), 64u);
    EXPECT_EQ(sha2Hex(384, "abc").size(), 96u);
    EXPECT_EQ(sha2Hex(512, "abc").size(), 128u);
}

TEST(Sha2Unit, RefusesOtherSizesAndLeavesTheRecordAlone) {
    Sha2State state;
    ASSERT_EQ(state.start(256), 0);
    state.add("ab", 2);
    Sha2State before = state;
    for (int size : {0, 1, 160, 224, 255, 257, 1024, -256}) {
        EXPECT_EQ(state.start(size), 1) << size;
        EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0) << size;
    }
    state.add("c", 1);
    std::uint8_t out[32];
    state.finish(out);
    EXPECT_EQ(toHex(std::string_view(reinterpret_cast<const char*>(out), 32)),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Md2Unit, FinalStartsAFreshDigest) {
    CMD2 md2;
    md2.Update("abc", 3);
    std::uint8_t first[16];
    md2.Final(first, 16);
    // No Init between: Final has done it.
    md2.Update("abc", 3);
    std::uint8_t second[16];
    md2.Final(second, 16);
    EXPECT_EQ(std::memcmp(first, second, 16), 0);
    EXPECT_EQ(toHex(std::string_view(reinterpret_cast<char*>(first), 16)),
              "da853b0d3f88d99b30283a69e6ded6bb");
}

TEST(Md2Unit, ShortFinalCopiesOnlyWhatIsAskedFor) {
    CMD2 md2;
    std::uint8_t out[16];
    std::memset(out, 0xAA, sizeof out);
    md2.Final(out, 4);  // the empty message: 8350e5a3...
    EXPECT_EQ(out[0], 0x83);
    EXPECT_EQ(out[3], 0xa3);
    EXPECT_EQ(out[4], 0xAA);
}

TEST(Md4Unit, FinishClearsTheRecord) {
    Md4State state;
    state.start();
    state.add("abc", 3);
    std::uint8_t out[16];
    state.finish(out);
    const Md4State zero{};
    EXPECT_EQ(std::memcmp(&state, &zero, sizeof state), 0);
}

// Lengths around the padding boundaries, split in every way into two adds, agree with the
// one-add digest; the one-add digests themselves are cross-checked against peers elsewhere.
TEST(BlockUnits, TwoAddsAtEveryCutAroundTheBoundaries) {
    std::mt19937 random(7);
    std::string message(300, '\0');
    for (char& c : message) c = static_cast<char>(random());
    for (const auto& mode : accelerationModes()) {
        ScopedAcceleration scoped(mode.allowed);
        for (const auto& algorithm : allAlgorithms()) {
            auto unit = makeDriver(algorithm);
            for (std::size_t length : {31u, 32u, 33u, 55u, 56u, 63u, 64u, 65u, 111u, 112u, 127u,
                                       128u, 129u, 255u, 256u, 257u}) {
                unit->start();
                unit->add(message.data(), static_cast<std::uint32_t>(length));
                const std::string whole = unit->finish();
                for (std::size_t cut = 0; cut <= length; ++cut) {
                    unit->start();
                    unit->add(message.data(), static_cast<std::uint32_t>(cut));
                    unit->add(message.data() + cut, static_cast<std::uint32_t>(length - cut));
                    ASSERT_EQ(toHex(unit->finish()), toHex(whole))
                        << mode.name << ' ' << algorithm << " length " << length << " cut " << cut;
                }
            }
        }
    }
}

using Md5Way =
    std::function<void(std::span<const std::span<const std::uint8_t>>, std::uint8_t (*)[16])>;

// md5Each in every acceleration mode and, where the processor has AVX2, its AVX2 lanes even
// where md5Each would take the AVX-512 ones.
std::vector<std::pair<std::string, Md5Way>> md5Ways() {
    std::vector<std::pair<std::string, Md5Way>> ways;
    for (const auto& mode : accelerationModes()) {
        ways.emplace_back(mode.name, [allowed = mode.allowed](auto messages, auto digests) {
            ScopedAcceleration scoped(allowed);
            md5Each(messages, digests);
        });
    }
#ifdef VELQUOR_DIGEST_X86
    if (availableAcceleration().md5LanesAvx2) {
        ways.emplace_back("AVX2 lanes", [](auto messages, auto digests) {
            for (std::size_t first = 0; first < messages.size(); first += 8) {
                detail::md5EightLanesAvx2(messages.data() + first,
                                          std::min<std::size_t>(messages.size() - first, 8),
                                          digests + first);
            }
        });
    }
#endif
    return ways;
}

// md5Each, eight messages side by side where it can: every message of a group gets its own
// digest however the lengths differ (a lane whose message ends first, a tail that needs a
// second block, an empty message), in groups that fill the lanes, leave some empty, or go
// past them, agreeing with one message digested alone.
TEST(Md5Unit, EachMessageOfAGroupGetsItsOwnDigest) {
    std::mt19937 random(11);
    std::string bytes(5000, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::vector<std::size_t> lengths = {0,   1,   55,  56,  63,  64,   65,   119,  120,
                                              127, 128, 129, 200, 999, 4000, 4096, 5000, 3};
    const auto* base = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto alone = [](std::span<const std::uint8_t> message) {
        Md5State state;
        state.start();
        state.add(message.data(), static_cast<std::uint32_t>(message.size()));
        state.finish();
        return toHex(std::string_view(reinterpret_cast<const char*>(state.digest), 16));
    };
    for (const auto& [name, way] : md5Ways()) {
        for (std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{8},
                                  std::size_t{9}, lengths.size()}) {
            std::vector<std::span<const std::uint8_t>> messages;
            for (std::size_t i = 0; i < count; ++i) {
                // Each message starts elsewhere, so that no two lanes read the same bytes.
                const std::size_t length = lengths[(i + count) % lengths.size()];
                messages.emplace_back(base + (i * 37) % (bytes.size() - length + 1), length);
            }
            std::vector<std::array<std::uint8_t, 16>> digests(count);
            way(messages, reinterpret_cast<std::uint8_t(*)[16]>(digests.data()));
            for (std::size_t i = 0; i < count; ++i) {
                EXPECT_EQ(
                    toHex(std::string_view(reinterpret_cast<const char*>(digests[i].data()), 16)),
                    alone(messages[i]))
                    << name << ": message " << i << " of " << count << ", " << messages[i].size()
                    << " bytes";
            }
        }
    }
}

TEST(Crc32Unit, TextStopsAtTheTerminatingZero) {
    std::uint32_t value = 1;
    EXPECT_EQ(CCrc32Static::TextCrc32("", value), 0);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(CCrc32Static::TextCrc32("123456789\0ignored", value), 0);
    EXPECT_EQ(value, 0xcbf43926u);
}

TEST(Crc32Unit, FileRoute) {
    TempDir dir;
    writeFile(dir / "check", "123456789");
    std::uint32_t value = 0;
    EXPECT_EQ(CCrc32Static::FileCrc32((dir / "check").c_str(), value), 0);
    EXPECT_EQ(value, 0xcbf43926u);

    writeFile(dir / "empty", "");
    EXPECT_EQ(CCrc32Static::FileCrc32((dir / "empty").c_str(), value), 0);
    EXPECT_EQ(value, 0u);

    // A file that was never read is not reported as read.
    value = 5;
    EXPECT_EQ(CCrc32Static::FileCrc32((dir / "missing").c_str(), value), kCrc32ReadError);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(CCrc32Static::FileCrc32(dir.path().c_str(), value), kCrc32ReadError);
}

TEST(Md5FileRoutine, CountsBytesAndDistinguishesEmptyFromMissing) {
    TempDir dir;
    const std::string chunk(2048, 'q');
    writeFile(dir / "exact", chunk);
    Md5State state;
    EXPECT_EQ(Md5File((dir / "exact").c_str(), state), 2048u);
    Md5State reference;
    reference.start();
    reference.add(chunk.data(), 2048);
    reference.finish();
    EXPECT_EQ(std::memcmp(state.digest, reference.digest, 16), 0);

    writeFile(dir / "empty", "");
    EXPECT_EQ(Md5File((dir / "empty").c_str(), state), 0u);
    EXPECT_EQ(toHex(std::string_view(reinterpret_cast<char*>(state.digest), 16)),
              "d41d8cd98f00b204e9800998ecf8427e");

    Md5State untouched;
    std::memset(&untouched, 0x5C, sizeof untouched);
    Md5State copy = untouched;
    EXPECT_EQ(Md5File((dir / "missing").c_str(), untouched), 0u);
    EXPECT_EQ(Md5File(dir.path().c_str(), untouched), 0u);  // a folder cannot be read
    EXPECT_EQ(Md5File("", untouched), 0u);
    EXPECT_EQ(std::memcmp(&untouched, &copy, sizeof copy), 0);
}

}  // namespace
}  // namespace velquor::digest::testing
