// CAes against published known answers, its key-length rules, and the multi-block paths
// (hardware and portable) against CAes block by block.
#include "crypto/aes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "crypto_test_util.h"

namespace velquor::crypto {
namespace {

using test::fromHex;
using test::randomBytes;
using test::toHex;

struct KnownAnswer {
    std::string key, plain, cipher;
};

std::vector<KnownAnswer> loadKnownAnswers() {
    std::ifstream file(VELQUOR_SOURCE_DIR "/tests/crypto/data/aes128_known_answers.txt");
    std::vector<KnownAnswer> answers;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        KnownAnswer answer;
        fields >> answer.key >> answer.plain >> answer.cipher;
        answers.push_back({fromHex(answer.key), fromHex(answer.plain), fromHex(answer.cipher)});
    }
    return answers;
}

const unsigned char* bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

CAes keyedWith(const std::string& key) {
    CAes aes;
    aes.Init(static_cast<int>(key.size()), bytes(key));
    return aes;
}

std::string cipherBlock(CAes& aes, const std::string& plain) {
    unsigned char out[16];
    aes.Cipher(bytes(plain), out);
    return std::string(reinterpret_cast<const char*>(out), 16);
}

std::string invCipherBlock(CAes& aes, const std::string& cipher) {
    unsigned char out[16];
    aes.InvCipher(bytes(cipher), out);
    return std::string(reinterpret_cast<const char*>(out), 16);
}

TEST(CAes, ReproducesKnownAnswersBothWays) {
    const auto answers = loadKnownAnswers();
    ASSERT_GE(answers.size(), 8u) << "known-answer file missing or short";
    for (const auto& answer : answers) {
        CAes aes = keyedWith(answer.key);
        EXPECT_EQ(toHex(cipherBlock(aes, answer.plain)), toHex(answer.cipher))
            << "key " << toHex(answer.key);
        EXPECT_EQ(toHex(invCipherBlock(aes, answer.cipher)), toHex(answer.plain))
            << "key " << toHex(answer.key);
    }
}

TEST(CAes, KeyScheduleMatchesTheStandardsExpansion) {
    // FIPS-197 Appendix A.1: w[4], w[10] and w[43] of the 2b7e1516... key.
    CAes aes = keyedWith(fromHex("2b7e151628aed2a6abf7158809cf4f3c"));
    const auto* w = reinterpret_cast<const char*>(aes.ExpandedKey());
    EXPECT_EQ(toHex(std::string(w + 4 * 4, 4)), "a0fafe17");
    EXPECT_EQ(toHex(std::string(w + 4 * 10, 4)), "5935807a");
    EXPECT_EQ(toHex(std::string(w + 4 * 43, 4)), "b6630ca6");
    // Only w[0..43] are used by a 128-bit key; the rest of the room stays cleared.
    for (int i = 176; i < 240; ++i) EXPECT_EQ(aes.ExpandedKey()[i], 0) << "byte " << i;
}

TEST(CAes, KeysAreCutOrCompletedToSixteenBytes) {
    std::mt19937 rng(7);
    const std::string block = randomBytes(16, rng);
    const std::string forty = randomBytes(40, rng);
    auto encryptWith = [&](const std::string& key) {
        CAes aes = keyedWith(key);
        return cipherBlock(aes, block);
    };
    const std::string five = forty.substr(0, 5);
    EXPECT_EQ(encryptWith(five), encryptWith(five + std::string(11, '\0')));
    EXPECT_EQ(encryptWith(forty.substr(0, 20)), encryptWith(forty.substr(0, 16)));
    EXPECT_EQ(encryptWith(forty), encryptWith(forty.substr(0, 16)));
    EXPECT_EQ(encryptWith(""), encryptWith(std::string(16, '\0')));
    EXPECT_NE(encryptWith(forty.substr(0, 16)), encryptWith(forty.substr(0, 15)));

    // Lengths the caller gets wrong: nothing is read from a null key, and a negative
    // length counts as empty.
    CAes nullKey;
    nullKey.Init(16, nullptr);
    EXPECT_EQ(cipherBlock(nullKey, block), encryptWith(""));
    CAes negative;
    negative.Init(-3, bytes(forty));
    EXPECT_EQ(cipherBlock(negative, block), encryptWith(""));
}

TEST(CAes, ReKeyingReplacesTheWholeSchedule) {
    CAes aes = keyedWith(fromHex("000102030405060708090a0b0c0d0e0f"));
    aes.Init(3, bytes(std::string("abc")));
    CAes fresh = keyedWith(std::string("abc"));
    EXPECT_EQ(std::memcmp(aes.ExpandedKey(), fresh.ExpandedKey(), 240), 0);
}

TEST(CAes, SameBufferInAndOut) {
    std::mt19937 rng(11);
    CAes aes = keyedWith(randomBytes(16, rng));
    for (int round = 0; round < 50; ++round) {
        const std::string plain = randomBytes(16, rng);
        const std::string expected = cipherBlock(aes, plain);
        unsigned char buffer[16];
        std::memcpy(buffer, plain.data(), 16);
        aes.Cipher(buffer, buffer);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(buffer), 16), expected);
        aes.InvCipher(buffer, buffer);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(buffer), 16), plain);
    }
}

// ---- Multi-block paths

struct PathCase {
    const char* name;
    AesPath path;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

class MultiBlock : public ::testing::TestWithParam<PathCase> {};

std::string perBlock(CAes& aes, const std::string& data, bool decrypt) {
    std::string out(data.size(), '\0');
    for (std::size_t at = 0; at < data.size(); at += 16) {
        auto* o = reinterpret_cast<unsigned char*>(out.data() + at);
        if (decrypt) {
            aes.InvCipher(bytes(data) + at, o);
        } else {
            aes.Cipher(bytes(data) + at, o);
        }
    }
    return out;
}

TEST_P(MultiBlock, MatchesCAesOnEveryLengthAndAlignment) {
    std::mt19937 rng(1234);
    const AesPath path = GetParam().path;
    std::vector<std::size_t> blockCounts;
    for (std::size_t n = 0; n <= 40; ++n) blockCounts.push_back(n);
    for (std::size_t n : {63, 64, 65, 127, 1000, 4099}) blockCounts.push_back(n);
    for (std::size_t blocks : blockCounts) {
        CAes aes = keyedWith(randomBytes(16, rng));
        const std::string data = randomBytes(16 * blocks, rng);
        const std::string expectedCipher = perBlock(aes, data, false);
        const std::string expectedPlain = perBlock(aes, data, true);
        const std::size_t inOffset = blocks % 16, outOffset = (blocks * 7 + 3) % 16;
        std::vector<std::uint8_t> in(16 * blocks + 16), out(16 * blocks + 16);
        std::memcpy(in.data() + inOffset, data.data(), data.size());

        encryptBlocks(aes, in.data() + inOffset, out.data() + outOffset, blocks, path);
        ASSERT_EQ(std::memcmp(out.data() + outOffset, expectedCipher.data(), data.size()), 0)
            << blocks << " blocks";
        decryptBlocks(aes, in.data() + inOffset, out.data() + outOffset, blocks, path);
        ASSERT_EQ(std::memcmp(out.data() + outOffset, expectedPlain.data(), data.size()), 0)
            << blocks << " blocks";

        // In place, as the file operations use it: encrypting then decrypting restores.
        encryptBlocks(aes, in.data() + inOffset, in.data() + inOffset, blocks, path);
        ASSERT_EQ(std::memcmp(in.data() + inOffset, expectedCipher.data(), data.size()), 0);
        decryptBlocks(aes, in.data() + inOffset, in.data() + inOffset, blocks, path);
        ASSERT_EQ(std::memcmp(in.data() + inOffset, data.data(), data.size()), 0);
    }
}

TEST_P(MultiBlock, ReproducesKnownAnswers) {
    for (const auto& answer : loadKnownAnswers()) {
        CAes aes = keyedWith(answer.key);
        std::uint8_t out[16];
        encryptBlocks(aes, bytes(answer.plain), out, 1, GetParam().path);
        EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(out), 16)), toHex(answer.cipher));
        decryptBlocks(aes, bytes(answer.cipher), out, 1, GetParam().path);
        EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(out), 16)), toHex(answer.plain));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, MultiBlock,
                         ::testing::Values(PathCase{"Auto", AesPath::Auto},
                                           PathCase{"Portable", AesPath::Portable}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velquor::crypto
