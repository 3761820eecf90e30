// Same-file refusal through different paths, and the bounded whole-file read.
#include "support/file_identity.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace velquor::support {
namespace {

using velquor::testing::TempDir;
using velquor::testing::writeFile;

TEST(FileIdentity, EveryPathToTheSameFileIsRecognised) {
    TempDir dir;
    writeFile(dir / "x.xml", "data");
    std::filesystem::create_directory(dir / "sub");
    std::filesystem::create_symlink(dir / "x.xml", dir / "link.xml");
    std::filesystem::create_hard_link(dir / "x.xml", dir / "hard.xml");
    const auto input = dir / "x.xml";
    for (const auto& other : {dir / "sub" / ".." / "x.xml", dir / "link.xml", dir / "hard.xml",
                              dir.path() / "." / "x.xml"}) {
        EXPECT_TRUE(isSameFile(input, other)) << other;
        auto refused = refuseSameFile(input, other);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, ErrorCode::SameFile);
    }
}

TEST(FileIdentity, DifferentOrMissingFilesAreNotTheSame) {
    TempDir dir;
    writeFile(dir / "a", "same content");
    writeFile(dir / "b", "same content");
    EXPECT_FALSE(isSameFile(dir / "a", dir / "b"));
    EXPECT_FALSE(isSameFile(dir / "a", dir / "missing"));
    EXPECT_TRUE(refuseSameFile(dir / "a", dir / "missing"));
}

TEST(ReadWholeFile, ReadsUpToTheBoundAndRefusesMore) {
    TempDir dir;
    writeFile(dir / "f", std::string(1000, 'x'));
    auto whole = readWholeFile(dir / "f", 1000);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), 1000u);
    auto tooBig = readWholeFile(dir / "f", 999);
    ASSERT_FALSE(tooBig);
    EXPECT_EQ(tooBig.error().code, ErrorCode::TooLarge);
    auto missing = readWholeFile(dir / "none", 10);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ErrorCode::NotFound);
    EXPECT_FALSE(readWholeFile(dir.path(), 10));
}

}  // namespace
}  // namespace velquor::support
