// AtomicOutputFile: the target is either the complete new file or the old one untouched.
#include "support/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

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

// Device nodes made here stand for the machine's own: the test never goes near /dev. Making
// one needs root (CI runs as root); elsewhere those cases are left out.
bool makeNode(const std::filesystem::path& path, mode_t type, unsigned major, unsigned minor) {
    return ::mknod(path.c_str(), type | 0666, makedev(major, minor)) == 0;
}

// The kind of node at path itself, not where a link leads.
mode_t typeAt(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & S_IFMT;
}

// The reading end of a FIFO, open before anyone writes, so that a writer never waits and a
// writer that never comes leaves the test with nothing to read rather than hanging.
class FifoReader {
public:
    explicit FifoReader(const std::filesystem::path& fifo)
        : m_fd(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~FifoReader() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;
    bool isOpen() const { return m_fd >= 0; }
    // What the writers have put in so far (less than a pipe's buffer, in these tests).
    std::string received() const {
        std::string text;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int m_fd;
};

OutputOptions writeThrough() {
    OutputOptions options;
    options.streams = StreamTarget::WriteThrough;
    return options;
}

// Writing by name into a held-open folder keeps every rule of writing by path.
TEST(AtomicOutputFile, FilesWrittenByNameIntoAnOpenFolderKeepTheSameRules) {
    TempDir dir;
    writeFile(dir / "kept.xml", "old");
    ::chmod((dir / "kept.xml").c_str(), 0600);
    writeFile(dir / "real.xml", "keep me");
    std::filesystem::create_symlink(dir / "real.xml", dir / "link.xml");
    const OutputFolder folder(dir.path());
    for (const char* name : {"kept.xml", "link.xml", "new.xml"}) {
        ASSERT_TRUE(writeFileAtomically(folder, name, bytesOf("new"), Durability::Deferred));
        EXPECT_EQ(readFile(dir / name), "new");
    }
    struct stat info {};
    ASSERT_EQ(::stat((dir / "kept.xml").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "link.xml"));
    EXPECT_EQ(readFile(dir / "real.xml"), "keep me");
    EXPECT_EQ(entriesIn(dir.path()), 4u);

    {
        const FileSizeLimit limit(100);
        const auto failed = writeFileAtomically(
            folder, "kept.xml", bytesOf(std::string(64 * 1024, 'n')), Durability::Deferred);
        ASSERT_FALSE(failed);
        EXPECT_NE(failed.error().message.find((dir / "kept.xml").string()), std::string::npos)
            << failed.error().message;
    }
    EXPECT_EQ(readFile(dir / "kept.xml"), "new");
    EXPECT_EQ(entriesIn(dir.path()), 4u);
    for (const char* name : {"", "..", "sub/x.xml"}) {
        EXPECT_FALSE(writeFileAtomically(folder, name, bytesOf("x"), Durability::Deferred)) << name;
    }
    EXPECT_EQ(entriesIn(dir.path()), 4u);

    // A folder that cannot be held open is written by path: a missing one is named.
    const OutputFolder missing(dir / "nope");
    const auto none = writeFileAtomically(missing, "x.xml", bytesOf("x"), Durability::Deferred);
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().message.find((dir / "nope").string()), std::string::npos)
        << none.error().message;
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A run writes into a folder whose names may be free or taken in any order: whichever the file
// before found, a link is replaced without taking its target's permissions, a regular file
// keeps its own and a new file gets the usual ones.
TEST(AtomicOutputFile, EachFileOfAFolderKeepsTheRulesWhateverTheOneBeforeFound) {
    TempDir dir;
    const mode_t umask = ::umask(022);
    ::umask(umask);
    writeFile(dir / "real.xml", "keep me");
    ::chmod((dir / "real.xml").c_str(), 0600);
    std::filesystem::create_symlink(dir / "real.xml", dir / "link.xml");
    writeFile(dir / "kept.xml", "old");
    ::chmod((dir / "kept.xml").c_str(), 0604);
    const OutputFolder folder(dir.path());
    for (const char* name : {"new1.xml", "link.xml", "kept.xml", "new2.xml", "link.xml"}) {
        ASSERT_TRUE(writeFileAtomically(folder, name, bytesOf(name), Durability::Deferred));
        EXPECT_EQ(readFile(dir / name), name);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "link.xml"));
    EXPECT_EQ(readFile(dir / "real.xml"), "keep me");
    EXPECT_EQ(modeOf(dir / "link.xml"), 0666u & ~umask);
    EXPECT_EQ(modeOf(dir / "kept.xml"), 0604u);
    EXPECT_EQ(modeOf(dir / "new1.xml"), 0666u & ~umask);
    EXPECT_EQ(modeOf(dir / "new2.xml"), 0666u & ~umask);
    EXPECT_EQ(entriesIn(dir.path()), 5u);
}

// A free name shows nothing in the folder until the whole file is there, by path or by name in
// an open folder alike; a file dropped before that leaves nothing; a file that takes the name
// meanwhile is replaced whole, and keeps its permissions.
TEST(AtomicOutputFile, AFreeNameAppearsOnlyWithTheWholeFile) {
    TempDir dir;
    const OutputFolder folder(dir.path());
    const mode_t umask = ::umask(022);
    ::umask(umask);
    const auto open = [&](const std::string& name, bool byName) {
        return byName ? AtomicOutputFile::createIn(folder, name, Durability::Deferred)
                      : AtomicOutputFile::create(dir / name, Durability::Deferred);
    };
    for (const bool byName : {false, true}) {
        const std::string tag = byName ? "in" : "path";
        {
            auto file = open("new-" + tag + ".xml", byName);
            ASSERT_TRUE(file);
            ASSERT_TRUE(file->write(bytesOf("first half, ")));
            EXPECT_FALSE(std::filesystem::exists(dir / ("new-" + tag + ".xml")));
            ASSERT_TRUE(file->write(bytesOf("second half")));
            ASSERT_TRUE(file->commit());
        }
        EXPECT_EQ(readFile(dir / ("new-" + tag + ".xml")), "first half, second half");
        EXPECT_EQ(modeOf(dir / ("new-" + tag + ".xml")), 0666u & ~umask);
        {
            auto dropped = open("dropped-" + tag + ".xml", byName);
            ASSERT_TRUE(dropped);
            ASSERT_TRUE(dropped->write(bytesOf("never seen")));
        }
        EXPECT_FALSE(std::filesystem::exists(dir / ("dropped-" + tag + ".xml")));
        {
            const FileSizeLimit limit(100);
            auto failed = open("full-" + tag + ".xml", byName);
            ASSERT_TRUE(failed);
            EXPECT_FALSE(failed->write(bytesOf(std::string(64 * 1024, 'n'))));
        }
        EXPECT_FALSE(std::filesystem::exists(dir / ("full-" + tag + ".xml")));

        auto late = open("late-" + tag + ".xml", byName);
        ASSERT_TRUE(late);
        ASSERT_TRUE(late->write(bytesOf("ours")));
        writeFile(dir / ("late-" + tag + ".xml"), "theirs, written meanwhile");
        ::chmod((dir / ("late-" + tag + ".xml")).c_str(), 0640);
        ASSERT_TRUE(late->commit());
        EXPECT_EQ(readFile(dir / ("late-" + tag + ".xml")), "ours");
        EXPECT_EQ(modeOf(dir / ("late-" + tag + ".xml")), 0640u);
    }
    EXPECT_EQ(entriesIn(dir.path()), 4u);
}

TEST(AtomicOutputFile, ChosenStreamsAreWrittenThroughAndStayWhatTheyWere) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir / "pipe", dir / "pipe-link");
    for (const char* name : {"pipe", "pipe-link"}) {
        const FifoReader reader(dir / "pipe");
        ASSERT_TRUE(reader.isOpen());
        ASSERT_TRUE(writeFileAtomically(dir / name, bytesOf("through the pipe"), writeThrough()));
        EXPECT_EQ(reader.received(), "through the pipe") << name;
    }
    EXPECT_EQ(typeAt(dir / "pipe"), S_IFIFO);
    EXPECT_EQ(typeAt(dir / "pipe-link"), S_IFLNK);

    // The null device's numbers: what "encrypt in.xml /dev/null" run as root would meet.
    if (makeNode(dir / "null", S_IFCHR, 1, 3)) {
        std::filesystem::create_symlink(dir / "null", dir / "null-link");
        for (const char* name : {"null", "null-link"}) {
            auto file = AtomicOutputFile::create(dir / name, writeThrough());
            ASSERT_TRUE(file) << file.error().message;
            EXPECT_TRUE(file->isStream());
            ASSERT_TRUE(file->write(bytesOf("gone")));
            ASSERT_TRUE(file->commit());
        }
        EXPECT_EQ(typeAt(dir / "null"), S_IFCHR);
        EXPECT_EQ(typeAt(dir / "null-link"), S_IFLNK);
    }
    EXPECT_EQ(entriesIn(dir.path()), ::geteuid() == 0 ? 4u : 2u);
}

TEST(AtomicOutputFile, ChosenRegularFilesAndLinksToThemAreStillReplacedWhole) {
    TempDir dir;
    writeFile(dir / "real.xml", "keep me");
    std::filesystem::create_symlink(dir / "real.xml", dir / "link.xml");
    auto file = AtomicOutputFile::create(dir / "link.xml", writeThrough());
    ASSERT_TRUE(file);
    EXPECT_FALSE(file->isStream());
    ASSERT_TRUE(file->write(bytesOf("new")));
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(readFile(dir / "real.xml"), "keep me");
    EXPECT_EQ(typeAt(dir / "link.xml"), S_IFREG);
    EXPECT_EQ(readFile(dir / "link.xml"), "new");
}

// Names that come from data (the generator's, in its output folder) never lead anywhere: a
// link to a pipe is replaced, and the pipe's reader, already waiting, gets nothing.
TEST(AtomicOutputFile, NamesFromDataReplaceLinksToStreamsWithoutFollowingThem) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    const FifoReader reader(dir / "pipe");
    ASSERT_TRUE(reader.isOpen());
    std::filesystem::create_symlink(dir / "pipe", dir / "device.cfg");
    const OutputFolder folder(dir.path());
    ASSERT_TRUE(writeFileAtomically(folder, "device.cfg", bytesOf("config"), Durability::Deferred));
    EXPECT_EQ(reader.received(), "");
    EXPECT_EQ(typeAt(dir / "device.cfg"), S_IFREG);
    EXPECT_EQ(readFile(dir / "device.cfg"), "config");
    EXPECT_EQ(typeAt(dir / "pipe"), S_IFIFO);
}

// A path the user named is never replaced when it is no regular file: by default a stream gets
// the bytes (whatever else is asked of the write), and a file that must be read back again
// refuses every such node, saying what it is, and leaves it as it was.
TEST(AtomicOutputFile, ANamedNodeIsWrittenThroughByDefaultOrRefusedNeverReplaced) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    for (const Durability durability : {Durability::Sync, Durability::Deferred}) {
        const FifoReader reader(dir / "pipe");
        ASSERT_TRUE(reader.isOpen());
        ASSERT_TRUE(writeFileAtomically(dir / "pipe", bytesOf("report"), durability));
        EXPECT_EQ(reader.received(), "report");
    }

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "socket").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    std::filesystem::create_symlink(dir / "pipe", dir / "pipe-link");
    std::vector<std::pair<std::string, std::string>> nodes = {
        {"pipe", "a FIFO"}, {"pipe-link", "a FIFO"}, {"socket", "a socket"}};
    if (makeNode(dir / "null", S_IFCHR, 1, 3)) nodes.emplace_back("null", "a character device");
    OutputOptions refuse;
    refuse.streams = StreamTarget::Refuse;
    for (const auto& [name, kind] : nodes) {
        const FifoReader reader(dir / "pipe");
        const auto written = writeFileAtomically(dir / name, bytesOf("key"), refuse);
        ASSERT_FALSE(written) << name;
        EXPECT_EQ(written.error().code, ErrorCode::InvalidInput);
        EXPECT_NE(written.error().message.find((dir / name).string() + ": it is " + kind),
                  std::string::npos)
            << written.error().message;
        EXPECT_EQ(reader.received(), "") << name;
    }
    ::close(listener);
    EXPECT_EQ(typeAt(dir / "pipe"), S_IFIFO);
    EXPECT_EQ(typeAt(dir / "pipe-link"), S_IFLNK);
    EXPECT_EQ(typeAt(dir / "socket"), S_IFSOCK);
    if (nodes.size() == 4) {
        EXPECT_EQ(typeAt(dir / "null"), S_IFCHR);
    }
    EXPECT_EQ(entriesIn(dir.path()), nodes.size());

    writeFile(dir / "settings.conf", "old");
    ASSERT_TRUE(writeFileAtomically(dir / "settings.conf", bytesOf("new"), refuse));
    EXPECT_EQ(readFile(dir / "settings.conf"), "new");
}

TEST(AtomicOutputFile, BlockDeviceIsRefusedAndLeftAlone) {
    TempDir dir;
    if (!makeNode(dir / "disk", S_IFBLK, 7, 0)) GTEST_SKIP() << "cannot make a device node here";
    std::filesystem::create_symlink(dir / "disk", dir / "disk-link");
    for (const char* name : {"disk", "disk-link"}) {
        const auto written = writeFileAtomically(dir / name, bytesOf("x"), writeThrough());
        ASSERT_FALSE(written) << name;
        EXPECT_EQ(written.error().code, ErrorCode::InvalidInput);
        EXPECT_NE(written.error().message.find("block device"), std::string::npos);
    }
    EXPECT_EQ(typeAt(dir / "disk"), S_IFBLK);
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

TEST(AtomicOutputFile, StopEndsTheWaitForAPipesReader) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    std::stop_source stop;
    stop.request_stop();
    OutputOptions options = writeThrough();
    options.stop = stop.get_token();
    const auto file = AtomicOutputFile::create(dir / "pipe", options);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().code, ErrorCode::Cancelled);
    EXPECT_EQ(typeAt(dir / "pipe"), S_IFIFO);
}

// The temporary beside a target must fit wherever the target's own name fits.
TEST(AtomicOutputFile, TargetWithTheLongestLegalNameIsWrittenAndReplaced) {
    TempDir dir;
    const auto target = dir / std::string(255, 'n');
    ASSERT_TRUE(writeFileAtomically(target, bytesOf("first")));
    const auto replaced = writeFileAtomically(target, bytesOf("second"));
    ASSERT_TRUE(replaced) << replaced.error().message;
    EXPECT_EQ(readFile(target), "second");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// Past the file-size limit a write gets EFBIG; without the signal ignored the process would
// end instead, leaving its temporary file behind. Run in a child, which may die of it.
TEST(AtomicOutputFile, FileSizeLimitGivesAnErrorOnceTheSignalIsIgnored) {
    TempDir dir;
    writeFile(dir / "out.xml", "old content");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ignoreFileSizeSignal();
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 100;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto written = writeFileAtomically(dir / "out.xml", bytesOf(std::string(4096, 'x')));
        ::_exit(!written && written.error().message.find("too large") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
