// The zero-completed block format in memory against the block-by-block model on CAes, at
// every length around the block boundaries, with zero bytes where the cut can see them.
#include "crypto/config_blocks.h"

#include <gtest/gtest.h>

#include <random>

#include "crypto_test_util.h"

namespace velquor::crypto {
namespace {

constexpr char kKey[] = "provisioning";

CAes keyed() {
    CAes aes;
    aes.Init(static_cast<int>(sizeof kKey - 1), reinterpret_cast<const unsigned char*>(kKey));
    return aes;
}

std::string asText(const std::vector<std::uint8_t>& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(ConfigBlocks, EncryptionMatchesTheModelAtEveryLength) {
    const CAes aes = keyed();
    std::mt19937 rng(7);
    for (std::size_t size = 0; size <= 49; ++size) {
        const std::string plain = test::randomBytes(size, rng);
        const auto blocks = encryptToBlocks(aes, std::as_bytes(std::span(plain.data(), size)));
        EXPECT_EQ(blocks.size(), completedSize(size)) << size;
        EXPECT_EQ(asText(blocks), test::modelEncrypt(plain, kKey)) << size;
    }
}

// Lengths no encryption writes too: a trailing partial block moves up to close the cut.
TEST(ConfigBlocks, DecryptionCutsTheLastFullBlockLikeTheModel) {
    const CAes aes = keyed();
    std::mt19937 rng(11);
    for (std::size_t size = 0; size <= 49; ++size) {
        std::string plain = test::randomBytes(64, rng, true);
        if (size >= 16) plain[(size / 16 - 1) * 16 + size % 7] = '\0';
        const std::string cipher = test::modelEncrypt(plain, kKey).substr(0, size);
        std::vector<std::uint8_t> buffer(cipher.begin(), cipher.end());
        buffer.resize(completedSize(size), 0xEE);
        const std::size_t kept = decryptCompleted(aes, buffer.data(), size);
        buffer.resize(kept);
        EXPECT_EQ(asText(buffer), test::modelDecrypt(cipher, kKey)) << size;
    }
}

}  // namespace
}  // namespace velquor::crypto
