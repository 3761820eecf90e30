// Interoperation with the openssl command: what we encrypt it decrypts to the zero-completed
// plaintext, and what it encrypts (zero-completed) we decrypt back to the text.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/config_file.h"
#include "crypto_test_util.h"
#include "temp_dir.h"

namespace velquor::crypto {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string zeroCompleted(std::string text) {
    text.resize((text.size() + 15) / 16 * 16, '\0');
    return text;
}

void checkBothDirections(const TempDir& dir, const std::string& plain, const std::string& key) {
    support::RecordingReporter reporter;
    writeFile(dir / "plain", plain);
    ASSERT_TRUE(
        EncryptConfigFile((dir / "plain").string(), (dir / "ours.enc").string(), key, reporter));
    test::opensslEcb(true, key, dir / "ours.enc", dir / "theirs.dec");
    ASSERT_EQ(readFile(dir / "theirs.dec"), zeroCompleted(plain)) << plain.size() << " bytes";

    writeFile(dir / "padded", zeroCompleted(plain));
    test::opensslEcb(false, key, dir / "padded", dir / "theirs.enc");
    ASSERT_EQ(readFile(dir / "theirs.enc"), readFile(dir / "ours.enc")) << plain.size() << " bytes";
    ASSERT_TRUE(DecryptConfigFile((dir / "theirs.enc").string(), (dir / "ours.dec").string(), key,
                                  reporter));
    ASSERT_EQ(readFile(dir / "ours.dec"), plain) << plain.size() << " bytes";
    ASSERT_TRUE(reporter.entries().empty());
}

TEST(OpensslInterop, EveryLengthUpToOneHundredBytes) {
    // Each block stands alone, so one openssl run over all the zero-completed texts put end to
    // end checks every length at once; our side handles each length as its own file.
    TempDir dir;
    std::mt19937 rng(99);
    // Keys of every kind the rules allow: short text, exactly 16, longer, binary, empty.
    const std::string keys[] = {"secret", "0123456789abcdef",
                                "a key that goes on past sixteen bytes", test::randomBytes(16, rng),
                                ""};
    // Hundreds of small files: durability is not what is tested here, and fresh names keep the
    // file system from flushing every replaced file.
    ConfigFileOptions noSync;
    noSync.durability = support::Durability::Deferred;
    int serial = 0;
    auto fresh = [&](const char* name) { return dir / (name + std::to_string(++serial)); };
    for (const auto& key : keys) {
        support::RecordingReporter reporter;
        std::vector<std::string> plains;
        std::string allPadded, allOurs;
        for (std::size_t size = 0; size <= 100; ++size) {
            plains.push_back(test::randomBytes(size, rng, true));
            const auto plainPath = fresh("plain"), cipherPath = fresh("ours.enc");
            writeFile(plainPath, plains.back());
            ASSERT_TRUE(
                EncryptConfigFile(plainPath.string(), cipherPath.string(), key, reporter, noSync));
            allOurs += readFile(cipherPath);
            allPadded += zeroCompleted(plains.back());
        }
        writeFile(dir / "all-ours.enc", allOurs);
        test::opensslEcb(true, key, dir / "all-ours.enc", dir / "all-theirs.dec");
        ASSERT_EQ(readFile(dir / "all-theirs.dec"), allPadded);

        writeFile(dir / "all-padded", allPadded);
        test::opensslEcb(false, key, dir / "all-padded", dir / "all-theirs.enc");
        const std::string allTheirs = readFile(dir / "all-theirs.enc");
        ASSERT_EQ(allTheirs, allOurs);
        std::size_t at = 0;
        for (const auto& plain : plains) {
            const std::size_t length = zeroCompleted(plain).size();
            const auto cipherPath = fresh("theirs.enc"), plainPath = fresh("ours.dec");
            writeFile(cipherPath, allTheirs.substr(at, length));
            at += length;
            ASSERT_TRUE(
                DecryptConfigFile(cipherPath.string(), plainPath.string(), key, reporter, noSync));
            ASSERT_EQ(readFile(plainPath), plain) << plain.size() << " bytes";
        }
        EXPECT_TRUE(reporter.entries().empty());
    }
}

TEST(OpensslInterop, SeveralMebibytes) {
    TempDir dir;
    std::mt19937 rng(5);
    checkBothDirections(dir, test::randomBytes((3 << 20) + 7, rng, true), "mass provisioning");
    checkBothDirections(dir, test::randomBytes(4 << 20, rng, true), "k");
}

}  // namespace
}  // namespace velquor::crypto
