// DeviceWriters: every file handed over comes back once, by its index, whatever the number of
// workers and however the queue fills and empties; a failed write comes back as that file's.
#include "generator/run/device_writers.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <set>

#include "generator/outputs/check_sums.h"
#include "temp_dir.h"

namespace velquor::generator {
namespace {

namespace fs = std::filesystem;
using velquor::testing::readFile;

std::span<const std::byte> bytesOf(const std::string& text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

// Files change hands, and are digested, in batches: counts below a batch, and past whole
// batches by a few, come back as surely as a long run, and a file or copy that fails in the
// middle of a batch leaves the others' digests with their own files.
TEST(DeviceWriters, EveryFileComesBackOnceByItsIndexWithItsDigest) {
    for (const auto& [workers, count] :
         {std::pair{1u, std::size_t{1500}}, std::pair{3u, std::size_t{1500}},
          std::pair{2u, std::size_t{3}}, std::pair{2u, std::size_t{19}},
          std::pair{2u, std::size_t{67}}}) {
        velquor::testing::TempDir dir;
        fs::create_directories(dir / "en");
        fs::create_directories(dir / "777.xml" / "taken");
        fs::create_directories(dir / "en" / "555.xml" / "taken");
        const support::OutputFolder plain(dir.path());
        const support::OutputFolder encrypted(dir / "en");
        crypto::CAes aes;
        aes.Init(3, reinterpret_cast<const unsigned char*>("key"));
        DeviceWriters writers(plain, &encrypted, aes, workers);
        for (std::size_t i = 0; i < count; ++i) {
            writers.submit({i, "file " + std::to_string(i), std::to_string(i) + ".xml"});
        }
        const std::deque<WrittenFiles> done = writers.finish();

        ASSERT_EQ(done.size(), count) << workers;
        std::set<std::size_t> seen;
        for (const WrittenFiles& written : done) {
            EXPECT_TRUE(seen.insert(written.index).second) << written.index;
            const std::string name = std::to_string(written.index) + ".xml";
            if (written.index == 777 && count > 777) {
                ASSERT_FALSE(written.plain);
                EXPECT_NE(written.plain.error().message.find((dir / name).string()),
                          std::string::npos);
                EXPECT_FALSE(fs::exists(dir / "en" / name)) << "no copy without its file";
                continue;
            }
            ASSERT_TRUE(written.plain) << written.plain.error().message;
            const std::string text = "file " + std::to_string(written.index);
            EXPECT_EQ(readFile(dir / name), text);
            EXPECT_EQ(written.plainDigest, checkSumOf(bytesOf(text)));
            if (written.index == 555 && count > 555) {
                ASSERT_FALSE(written.encrypted);
                continue;
            }
            ASSERT_TRUE(written.encrypted) << written.encrypted.error().message;
            EXPECT_EQ(written.encryptedDigest, checkSumOf(bytesOf(readFile(dir / "en" / name))));
            EXPECT_EQ(readFile(dir / "en" / name).size(), 16u);
        }
    }
}

}  // namespace
}  // namespace velquor::generator
