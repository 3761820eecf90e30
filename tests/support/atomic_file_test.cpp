// AtomicOutputFile: the target is either the complete new file or the old one untouched.
#include "support/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_size_limit.h"
#include "temp_dir.h"
#include "unprivileged.h"

namespace velquor::support {
namespace {

using velquor::testing::FileSizeLimit;
using velquor::testing::handOverToUnprivileged;
using velquor::testing::readFile;
using velquor::testing::runUnprivileged;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

std::span<const std::byte> bytesOf(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

size_t entriesIn(const std::filesystem::path& folder) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

TEST(AtomicOutputFile, CommitReplacesTheTargetAndLeavesNoTemporary) {
    TempDir dir;
    writeFile(dir / "out.xml", "old content");
    for (auto durability : {Durability::Sync, Durability::Deferred}) {
        ASSERT_TRUE(writeFileAtomically(dir / "out.xml", bytesOf("new"), durability));
        EXPECT_EQ(readFile(dir / "out.xml"), "new");
        EXPECT_EQ(entriesIn(dir.path()), 1u);
    }
}

TEST(AtomicOutputFile, DroppedWithoutCommitLeavesTheOldFileUntouched) {
    TempDir dir;
    writeFile(dir / "out.xml", "old content");
    {
        auto file = AtomicOutputFile::create(dir / "out.xml");
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->write(bytesOf("partial")));
        EXPECT_TRUE(std::filesystem::exists(file->temporaryPath()));
    }
    EXPECT_EQ(readFile(dir / "out.xml"), "old content");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicOutputFile, ReplacesASymbolicLinkInsteadOfWritingThroughIt) {
    TempDir dir;
    writeFile(dir / "real.xml", "keep me");
    std::filesystem::create_symlink(dir / "real.xml", dir / "link.xml");
    ASSERT_TRUE(writeFileAtomically(dir / "link.xml", bytesOf("new")));
    EXPECT_EQ(readFile(dir / "real.xml"), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "link.xml"));
    EXPECT_EQ(readFile(dir / "link.xml"), "new");
}

TEST(AtomicOutputFile, KeepsThePermissionsOfTheFileItReplaces) {
    TempDir dir;
    writeFile(dir / "out.xml", "old");
    ::chmod((dir / "out.xml").c_str(), 0600);
    ASSERT_TRUE(writeFileAtomically(dir / "out.xml", bytesOf("new")));
    struct stat info {};
    ASSERT_EQ(::stat((dir / "out.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(AtomicOutputFile, MissingOrUnwritableFolderIsAnErrorNamingIt) {
    TempDir dir;
    auto missing = writeFileAtomically(dir / "nope" / "out.xml", bytesOf("x"));
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("nope"), std::string::npos);

    std::filesystem::create_directory(dir / "locked");
    writeFile(dir / "locked" / "out.xml", "old");
    handOverToUnprivileged(dir.path());
    handOverToUnprivileged(dir / "locked");
    ::chmod((dir / "locked").c_str(), 0500);
    const auto failure = runUnprivileged([&]() -> std::string {
        auto locked = writeFileAtomically(dir / "locked" / "out.xml", bytesOf("new"));
        if (locked) return "a read-only folder took the new file";
        if (locked.error().message.find("locked") == std::string::npos) {
            return "the error does not name the folder: " + locked.error().message;
        }
        return {};
    });
    if (!failure) GTEST_SKIP() << "running as root and cannot become an unprivileged user";
    EXPECT_EQ(*failure, "");
    EXPECT_EQ(readFile(dir / "locked" / "out.xml"), "old");
}

// A write that fails part-way (a full disk, a quota) must name the target, keep the old file
// and leave nothing behind, through both the one-call and the step-by-step use.
TEST(AtomicOutputFile, WriteFailingPartWayKeepsTheOldTargetAndLeavesNoTemporary) {
    TempDir dir;
    writeFile(dir / "out.xml", "old content");
    const std::string large(64 * 1024, 'n');
    {
        const FileSizeLimit limit(100);
        const auto written = writeFileAtomically(dir / "out.xml", bytesOf(large));
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error().code, ErrorCode::Io);
        EXPECT_NE(written.error().message.find((dir / "out.xml").string()), std::string::npos)
            << written.error().message;
        EXPECT_NE(written.error().message.find("too large"), std::string::npos)
            << written.error().message;

        auto file = AtomicOutputFile::create(dir / "out.xml", Durability::Deferred);
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->write(bytesOf(std::string(60, 'a'))));
        EXPECT_FALSE(file->write(bytesOf(large)));
    }
    EXPECT_EQ(readFile(dir / "out.xml"), "old content");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicOutputFile, EmptyTargetIsRefused) {
    auto file = AtomicOutputFile::create("");
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().code, ErrorCode::InvalidInput);
}

}  // namespace
}  // namespace velquor::support
