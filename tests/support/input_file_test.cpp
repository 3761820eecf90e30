// InputFile: whole buffers from a source that delivers in pieces, and the one wording of
// its failures.
#include "support/input_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "temp_dir.h"

namespace velquor::support {
namespace {

using velquor::testing::TempDir;
using velquor::testing::writeFile;

TEST(InputFile, ReadsARegularFileInWholeBuffersToItsEnd) {
    TempDir dir;
    writeFile(dir / "in", std::string(2500, 'r'));
    auto file = InputFile::open((dir / "in").string());
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->sizeForProgress(), 2500u);
    char buffer[1000];
    std::vector<std::size_t> counts;
    for (;;) {
        auto got = file->readFully(buffer, sizeof buffer);
        ASSERT_TRUE(got);
        counts.push_back(*got);
        if (*got < sizeof buffer) break;
    }
    EXPECT_EQ(counts, (std::vector<std::size_t>{1000, 1000, 500}));
}

// A pipe hands over what has been written so far; a short count must still mean the end.
TEST(InputFile, FillsWholeBuffersFromAPipeThatDeliversInPieces) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([out = fds[1]] {
        const std::string piece(100, 'p');
        for (int i = 0; i < 10; ++i) {
            if (::write(out, piece.data(), piece.size()) != 100) break;
            std::this_thread::yield();
        }
        ::close(out);
    });
    auto file = InputFile::open("/dev/fd/" + std::to_string(fds[0]));
    ::close(fds[0]);
    ASSERT_TRUE(file) << file.error().message;
    EXPECT_EQ(file->sizeForProgress(), 0u);
    char buffer[600];
    auto first = file->readFully(buffer, sizeof buffer);
    auto second = file->readFully(buffer, sizeof buffer);
    writer.join();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, 600u);
    EXPECT_EQ(*second, 400u);
}

TEST(InputFile, FailuresNameThePathAndTheSystemsReason) {
    TempDir dir;
    const std::string missing = (dir / "missing").string();
    auto notThere = InputFile::open(missing);
    ASSERT_FALSE(notThere);
    EXPECT_EQ(notThere.error().code, ErrorCode::NotFound);
    EXPECT_EQ(notThere.error().message, "cannot open '" + missing + "': No such file or directory");

    auto folder = InputFile::open(dir.path().string());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().code, ErrorCode::Io);
    EXPECT_EQ(folder.error().message, "cannot read '" + dir.path().string() + "': Is a directory");

    auto unnamed = InputFile::open("");
    ASSERT_FALSE(unnamed);
    EXPECT_EQ(unnamed.error().code, ErrorCode::InvalidInput);
}

}  // namespace
}  // namespace velquor::support
